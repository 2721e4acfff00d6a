#pragma once
// The accounts the simulator accepts.
#include <map>
#include <string>

class SimUsers {
public:
    void add(const std::string &user, const std::string &password);
    // Reads "user:password" lines; blank lines and '#' comments are skipped.
    bool loadFile(const std::string &path, std::string &error);
    bool check(const std::string &user, const std::string &password) const;
    size_t size() const { return m_accounts.size(); }

private:
    std::map<std::string, std::string> m_accounts;
};
