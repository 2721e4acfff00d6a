#include "vaultmanifest.h"

#include "vault.h"

#include <cjson/cJSON.h>

#include <fstream>

const char kVaultManifest[] = "manifest.jsonl";
const char kVaultManifestImported[] = "manifest.jsonl.imported";

namespace {

std::string text(cJSON *row, const char *name) {
    cJSON *item = cJSON_GetObjectItemCaseSensitive(row, name);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : std::string();
}

double number(cJSON *row, const char *name) {
    cJSON *item = cJSON_GetObjectItemCaseSensitive(row, name);
    return cJSON_IsNumber(item) ? item->valuedouble : -1;
}

// One line; false at the end of the file. An over-long line comes back empty.
bool nextLine(std::istream &in, std::string &line) {
    line.clear();
    bool tooLong = false;
    bool any = false;
    char c;
    while (in.get(c)) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() < kVaultManifestMaxLine)
            line += c;
        else
            tooLong = true;
    }
    if (tooLong)
        line.clear();
    return any;
}

bool parseRow(const std::string &line, VaultEntry &e) {
    cJSON *row = cJSON_ParseWithLength(line.data(), line.size());
    if (!row)
        return false;
    e.site = text(row, "site");
    e.host = text(row, "host");
    e.port = int(number(row, "port"));
    e.time = int64_t(number(row, "time"));
    const double size = number(row, "size");
    e.size = size > 0 ? uint64_t(size) : 0;
    e.md5 = text(row, "md5");
    e.version = text(row, "version");
    e.file = text(row, "file");
    e.verified = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(row, "verified"));
    cJSON_Delete(row);
    return e.time > 0 && Vault::isMd5(e.md5) && vaultSafeFileName(e.file) && e.port > 0 && e.port < 65536;
}

} // namespace

bool vaultSafeFileName(const std::string &name) {
    return !name.empty() && name.size() < 200 && name[0] != '.' && name.find('/') == std::string::npos;
}

bool readVaultManifest(const std::string &folder, const std::function<void(const VaultEntry &)> &row) {
    std::ifstream in(folder + "/" + kVaultManifest, std::ios::binary);
    if (!in)
        return false;
    std::string line;
    while (nextLine(in, line)) {
        VaultEntry e;
        if (!line.empty() && parseRow(line, e))
            row(e);
    }
    return true;
}
