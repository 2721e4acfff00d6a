#ifndef KVT_JSON_H
#define KVT_JSON_H

#include <string>

struct cJSON;

namespace kvt {

// A parsed JSON tree (cJSON) with getters that read single nodes as integer or text.
// Walk the tree from GetRoot() with cJSON's own links (child, next, string).
class kvtJson {
public:
    kvtJson();
    virtual ~kvtJson();
    kvtJson(const kvtJson &) = delete;
    kvtJson &operator=(const kvtJson &) = delete;

    int LoadFromString(const std::string &jsonText);
    cJSON *GetRoot() const { return m_pRoot; }
    // Direct member of an object node by exact name; null when absent.
    static cJSON *GetMember(const cJSON *object, const char *name);

    static int GetNodeValueAsInt(const cJSON *node, int *value);
    static int GetNodeValueAsString(const cJSON *node, std::string *value, unsigned precision = 3);

private:
    void clear();
    cJSON *m_pRoot;
};

} // namespace kvt

#endif
