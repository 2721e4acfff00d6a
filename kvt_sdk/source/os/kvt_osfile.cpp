#include "kvt_osfile.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <memory>

#include <fcntl.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include "kvt_error.h"

namespace kvt {

namespace {

const char *const kSourceFile = "kvt_sdk/source/os/kvt_osfile";

int report(int number, const std::string &message, const char *function, int line) {
    return kvtErrorReport(kvtError(number, message, kSourceFile, function, line));
}

std::string stdError() {
    return "\nStd Error " + kvtErrorStdToString(-1);
}

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
typedef std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> DigestContext;

} // namespace

kvtOsFile::kvtOsFile() : m_pFile(nullptr) {}

kvtOsFile::~kvtOsFile() {
    if (Close() != 0)
        report(kvtErrorFailed, "can not close the file handle", "kvt::kvtOsFile::~kvtOsFile", __LINE__);
}

int kvtOsFile::Open(const std::string &path, const std::string &mode) {
    const char *const function = "kvt::kvtOsFile::Open";
    if (Close() != 0)
        return report(kvtErrorFailed, "can not close the file handle", function, __LINE__);
    m_pFile = fopen(path.c_str(), mode.c_str());
    if (m_pFile == nullptr)
        return report(kvtErrorFailed,
                      "ileFile handle is invalid, == 0 " + path + " mode:" + mode + stdError(), function,
                      __LINE__);
    return 0;
}

int kvtOsFile::Close() {
    if (m_pFile == nullptr)
        return 0;
    FILE *file = m_pFile;
    // fclose releases the stream even when it fails; keeping it would close it twice.
    m_pFile = nullptr;
    if (fclose(file) != 0)
        return report(kvtErrorFailed, "Can not close file handle", "kvt::kvtOsFile::Close", __LINE__);
    return 0;
}

int kvtOsFile::Read(void *buffer, unsigned length) {
    const char *const function = "kvt::kvtOsFile::Read";
    if (m_pFile == nullptr) {
        report(kvtErrorFailed, "ileFile handle is invalid, == 0" + stdError(), function, __LINE__);
        return -1;
    }
    if (buffer == nullptr) {
        report(kvtErrorInvalidArgument, "o_pBuffer pointer == 0", function, __LINE__);
        return -1;
    }
    if (length > INT_MAX)
        length = INT_MAX;
    return static_cast<int>(fread(buffer, 1, length, m_pFile));
}

int kvtOsFile::Write(const void *data, unsigned length) {
    const char *const function = "kvt::kvtOsFile::Write";
    if (m_pFile == nullptr) {
        report(kvtErrorFailed, "ileFile handle is invalid, == 0" + stdError(), function, __LINE__);
        return -1;
    }
    if (data == nullptr) {
        report(kvtErrorInvalidArgument, "pBuffer pointer == 0", function, __LINE__);
        return -1;
    }
    if (length > INT_MAX)
        length = INT_MAX;
    return static_cast<int>(fwrite(data, 1, length, m_pFile));
}

int kvtOsFile::SetTo(int32_t offset) {
    const char *const function = "kvt::kvtOsFile::SetTo";
    if (m_pFile == nullptr)
        return report(kvtErrorFailed, "ileFile handle is invalid, == 0" + stdError(), function, __LINE__);
    if (fseek(m_pFile, offset, SEEK_SET) != 0)
        return report(kvtErrorFailed, "Setting pointer to " + std::to_string(offset) + stdError(), function,
                      __LINE__);
    return 0;
}

int kvtOsFile::GetFileSize(const std::string &path, int *size) {
    const char *const function = "kvt::kvtOsFile::GetFileSize";
    if (size == nullptr)
        return report(kvtErrorInvalidArgument, "io_size pointer == 0", function, __LINE__);
    *size = 0;
    kvtOsFile file;
    if (file.Open(path, "rb") != 0)
        return report(kvtErrorFailed, "Invalid file", function, __LINE__);
    if (fseek(file.m_pFile, 0, SEEK_END) != 0)
        return report(kvtErrorFailed, "Invalid file" + stdError(), function, __LINE__);
    long end = ftell(file.m_pFile);
    if (end < 0 || end > INT_MAX)
        return report(kvtErrorOutOfRange, "Invalid file size", function, __LINE__);
    *size = static_cast<int>(end);
    return 0;
}

std::string kvtHexText(const void *bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    const unsigned char *in = static_cast<const unsigned char *>(bytes);
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text += digits[in[i] >> 4];
        text += digits[in[i] & 0x0F];
    }
    return text;
}

std::string kvtMd5Hex(const void *data, size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data, length, digest, &size, EVP_md5(), nullptr) != 1)
        return std::string();
    return kvtHexText(digest, size);
}

std::string kvtMd5OfOpenFile(FILE *file, const kvtMd5Watch &watch) {
    if (file == nullptr)
        return std::string();
    DigestContext context(EVP_MD_CTX_new());
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) == 1;
    unsigned char piece[65536];
    size_t got;
    uint64_t done = 0;
    while (ok && (got = fread(piece, 1, sizeof(piece), file)) > 0) {
        ok = EVP_DigestUpdate(context.get(), piece, got) == 1;
        done += got;
        if (ok && watch && !watch(done))
            return std::string();
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!ok || ferror(file) != 0 || EVP_DigestFinal_ex(context.get(), digest, &size) != 1)
        return std::string();
    return kvtHexText(digest, size);
}

std::string kvtLowerHex(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string kvtMd5File(const std::string &path, bool reportFailure, const kvtMd5Watch &watch) {
    FILE *file = fopen(path.c_str(), "rb");
    bool stopped = false;
    const std::string md5 = kvtMd5OfOpenFile(file, [&](uint64_t done) {
        stopped = watch && !watch(done);
        return !stopped;
    });
    if (file != nullptr)
        fclose(file);
    if (md5.empty() && reportFailure && !stopped)
        report(kvtErrorFailed, "Cannot read file \"" + path + "\".", "kvt::kvtMd5File", __LINE__);
    return md5;
}

int kvtOsCreateFileBeside(const std::string &target, std::string *path) {
    std::string name = target + ".part-XXXXXX";
    const int fd = ::mkostemp(&name[0], O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 && path != nullptr)
        *path = name;
    return fd;
}

std::string kvtBase64Encode(const unsigned char *data, size_t length) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    if (data == nullptr)
        return text;
    text.reserve((length + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t group = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        text += alphabet[(group >> 18) & 0x3F];
        text += alphabet[(group >> 12) & 0x3F];
        text += alphabet[(group >> 6) & 0x3F];
        text += alphabet[group & 0x3F];
    }
    const size_t rest = length - i;
    if (rest > 0) {
        uint32_t group = uint32_t(data[i]) << 16;
        if (rest == 2)
            group |= uint32_t(data[i + 1]) << 8;
        text += alphabet[(group >> 18) & 0x3F];
        text += alphabet[(group >> 12) & 0x3F];
        text += rest == 2 ? alphabet[(group >> 6) & 0x3F] : '=';
        text += '=';
    }
    return text;
}

} // namespace kvt
