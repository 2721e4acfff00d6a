#include "journalexport.h"

#include <kvt_osfolder.h>

#include <cjson/cJSON.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace vyxjournal {

namespace {

const char kCsvHeader[] = "id,time,site,address,user,program,kind,arguments,outcome,result,completed\r\n";

std::string csvLine(const Entry &e) {
    const std::string cells[] = {
        std::to_string(e.id), e.time,    e.site,   e.address,  e.user, e.program, e.kind,
        e.arguments,          e.outcome, e.result, e.completed};
    std::string line;
    for (const std::string &c : cells)
        line += (line.empty() ? "" : ",") + csvCell(c);
    return line + "\r\n";
}

// The members in the order the Journal view's JSON has them (alphabetical).
std::string jsonRecord(const Entry &e) {
    std::unique_ptr<cJSON, void (*)(cJSON *)> o(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(o.get(), "address", e.address.c_str());
    cJSON *arguments = cJSON_ParseWithLength(e.arguments.data(), e.arguments.size());
    if (!cJSON_IsObject(arguments)) {
        cJSON_Delete(arguments);
        arguments = cJSON_CreateObject();
    }
    cJSON_AddItemToObject(o.get(), "arguments", arguments);
    cJSON_AddStringToObject(o.get(), "completed", e.completed.c_str());
    cJSON_AddNumberToObject(o.get(), "id", double(e.id));
    cJSON_AddStringToObject(o.get(), "kind", e.kind.c_str());
    cJSON_AddStringToObject(o.get(), "outcome", e.outcome.c_str());
    cJSON_AddStringToObject(o.get(), "program", e.program.c_str());
    cJSON_AddStringToObject(o.get(), "result", e.result.c_str());
    cJSON_AddStringToObject(o.get(), "site", e.site.c_str());
    cJSON_AddStringToObject(o.get(), "time", e.time.c_str());
    cJSON_AddStringToObject(o.get(), "user", e.user.c_str());
    char *text = cJSON_Print(o.get());
    std::string out = text ? text : "{}";
    cJSON_free(text);
    return out;
}

// The export file while it is written: beside the target, its owner's alone.
class PartFile {
public:
    explicit PartFile(const std::string &target) : m_target(target) {
        m_path = target + ".part-" + std::to_string(::getpid());
        ::unlink(m_path.c_str());
        if (kvt::kvtCreatePrivateFile(m_path))
            m_file = std::fopen(m_path.c_str(), "wb");
        if (!m_file)
            m_errno = errno ? errno : EIO;
    }
    ~PartFile() {
        if (m_file)
            std::fclose(m_file);
        if (!m_published)
            ::unlink(m_path.c_str());
    }
    bool ok() const { return m_file && !m_errno; }
    // Why it failed, for a message.
    std::string why() const { return std::strerror(m_errno ? m_errno : EIO); }
    void write(const std::string &text) {
        if (ok() && std::fwrite(text.data(), 1, text.size(), m_file) != text.size())
            m_errno = errno ? errno : EIO;
    }
    // Synced, then renamed over the target, then the folder synced.
    bool publish() {
        if (!ok())
            return false;
        bool done = std::fflush(m_file) == 0 && ::fsync(fileno(m_file)) == 0;
        done = std::fclose(m_file) == 0 && done;
        m_file = nullptr;
        if (!done || std::rename(m_path.c_str(), m_target.c_str()) != 0) {
            m_errno = errno ? errno : EIO;
            return false;
        }
        m_published = true;
        kvt::kvtSyncFolderOf(m_target);
        return true;
    }

private:
    std::string m_target;
    std::string m_path;
    FILE *m_file = nullptr;
    int m_errno = 0;
    bool m_published = false;
};

} // namespace

std::string csvCell(const std::string &text) {
    std::string cell = "\"";
    if (!text.empty() && std::strchr("=+-@\t\r", text[0]))
        cell += '\'';
    for (char c : text)
        cell += c == '"' ? std::string("\"\"") : std::string(1, c);
    return cell + "\"";
}

int64_t exportJournal(Reader &reader, const Filter &filter, ExportFormat format, const std::string &path,
                      std::string &error) {
    PartFile file(path);
    if (!file.ok()) {
        error = "The file " + path + " could not be written: " + file.why();
        return -1;
    }
    int64_t count = 0;
    file.write(format == ExportFormat::Csv ? kCsvHeader : "[");
    const bool read = reader.forEach(filter, [&](const Entry &e) {
        if (format == ExportFormat::Csv)
            file.write(csvLine(e));
        else
            file.write((count ? ",\n" : "\n") + jsonRecord(e));
        ++count;
        return file.ok();
    });
    if (format == ExportFormat::Json)
        file.write(count ? "\n]\n" : "]\n");
    if (!read) {
        error = "The journal could not be read: " + reader.error();
        return -1;
    }
    if (!file.publish()) {
        error = "The file " + path + " could not be written: " + file.why();
        return -1;
    }
    return count;
}

} // namespace vyxjournal
