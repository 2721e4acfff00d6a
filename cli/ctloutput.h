#pragma once
// Where vyxctl's results go: plain lines or one JSON object per line on the real standard output,
// reasons on stderr, and a progress bar on stderr only when stderr is a terminal.
#include <cstdint>
#include <cstdio>
#include <string>

struct cJSON;

class CtlRecord {
public:
    CtlRecord();
    ~CtlRecord();
    CtlRecord(const CtlRecord &) = delete;
    CtlRecord &operator=(const CtlRecord &) = delete;

    CtlRecord &add(const char *key, const std::string &value);
    CtlRecord &add(const char *key, const char *value) { return add(key, std::string(value)); }
    CtlRecord &add(const char *key, double value);
    CtlRecord &addBool(const char *key, bool value);
    std::string json() const;

private:
    cJSON *m_object;
};

class CtlOutput {
public:
    CtlOutput(bool json, FILE *out);

    bool json() const { return m_json; }
    // Prints text (plain mode) or the record (JSON mode) as one line.
    void print(const std::string &text, const CtlRecord &record);
    void fail(const std::string &reason);
    // The reason given to the last fail().
    const std::string &lastFailure() const { return m_lastFailure; }
    void note(const std::string &text);
    void progress(const char *what, uint64_t done, uint64_t total);
    void endProgress();

private:
    bool m_json;
    FILE *m_out;
    bool m_tty;
    bool m_progressShown = false;
    std::string m_lastFailure;
};
