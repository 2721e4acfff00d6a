#include "ctloutput.h"

#include "terminaltext.h"

#include <cjson/cJSON.h>

#include <unistd.h>

CtlRecord::CtlRecord() : m_object(cJSON_CreateObject()) {}

CtlRecord::~CtlRecord() {
    cJSON_Delete(m_object);
}

CtlRecord &CtlRecord::add(const char *key, const std::string &value) {
    cJSON_AddStringToObject(m_object, key, value.c_str());
    return *this;
}

CtlRecord &CtlRecord::add(const char *key, double value) {
    cJSON_AddNumberToObject(m_object, key, value);
    return *this;
}

CtlRecord &CtlRecord::addBool(const char *key, bool value) {
    cJSON_AddBoolToObject(m_object, key, value);
    return *this;
}

std::string CtlRecord::json() const {
    char *text = cJSON_PrintUnformatted(m_object);
    std::string out = text ? text : "{}";
    cJSON_free(text);
    return out;
}

CtlOutput::CtlOutput(bool json, FILE *out) : m_json(json), m_out(out), m_tty(isatty(2) == 1) {}

void CtlOutput::print(const std::string &text, const CtlRecord &record) {
    endProgress();
    // What a server sent may hold a terminal's escape sequences; JSON keeps its meaning.
    const std::string line = terminalSafe(m_json ? record.json() : text, true);
    std::fprintf(m_out, "%s\n", line.c_str());
    std::fflush(m_out);
}

void CtlOutput::fail(const std::string &reason) {
    endProgress();
    m_lastFailure = reason;
    std::fprintf(stderr, "vyxctl: %s\n", terminalSafe(reason, true).c_str());
}

void CtlOutput::note(const std::string &text) {
    endProgress();
    std::fprintf(stderr, "vyxctl: %s\n", terminalSafe(text, true).c_str());
}

void CtlOutput::progress(const char *what, uint64_t done, uint64_t total) {
    if (!m_tty)
        return;
    const int width = 30;
    double fraction = total ? double(done) / double(total) : 1.0;
    if (fraction > 1.0)
        fraction = 1.0;
    int filled = int(fraction * width);
    std::string bar(size_t(filled), '#');
    bar.append(size_t(width - filled), '.');
    std::fprintf(stderr, "\r%s [%s] %5.1f%% %llu/%llu", what, bar.c_str(), fraction * 100.0,
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    std::fflush(stderr);
    m_progressShown = true;
}

void CtlOutput::endProgress() {
    if (m_progressShown) {
        std::fputc('\n', stderr);
        m_progressShown = false;
    }
}
