#ifndef KVT_OSFILE_H
#define KVT_OSFILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace kvt {

// Thin file object over the standard library's buffered files.
class kvtOsFile {
public:
    kvtOsFile();
    virtual ~kvtOsFile();
    kvtOsFile(const kvtOsFile &) = delete;
    kvtOsFile &operator=(const kvtOsFile &) = delete;

    // mode: a standard-library open mode such as "rb".
    int Open(const std::string &path, const std::string &mode);
    int Close();
    // Bytes transferred (fewer at the end of the file), or -1.
    int Read(void *buffer, unsigned length);
    int Write(const void *data, unsigned length);
    // Seeks to offset bytes from the start of the file.
    int SetTo(int32_t offset);
    static int GetFileSize(const std::string &path, int *size);

private:
    FILE *m_pFile;
};

// Told the bytes hashed so far after each piece of a file; answering false stops the hashing
// (the digest is then empty). Lets a long hash show its progress and be cancelled.
using kvtMd5Watch = std::function<bool(uint64_t bytesDone)>;
// MD5 of a file's content as 32 lower-case hexadecimal digits; an empty text when the file
// cannot be read (after a report, unless report is false) or the watch stopped it.
std::string kvtMd5File(const std::string &path, bool report = true, const kvtMd5Watch &watch = kvtMd5Watch());
// MD5 of what is left to read in an open file; empty when reading fails or the watch stopped it.
// No report.
std::string kvtMd5OfOpenFile(FILE *file, const kvtMd5Watch &watch = kvtMd5Watch());
// Bytes as lower-case hexadecimal digits, two per byte.
std::string kvtHexText(const void *bytes, size_t length);
// MD5 of a byte buffer as 32 lower-case hexadecimal digits.
std::string kvtMd5Hex(const void *data, size_t length);
// A digest text as this side writes it (lower case), so that "AB12" from a peer compares equal.
std::string kvtLowerHex(std::string text);
// Creates a new file beside target, named target + ".part-" and six random characters, readable
// and writable by its owner alone, without following a symbolic link and never opening a file
// that exists (O_EXCL): a name that another user planted cannot redirect the write. Returns the
// open descriptor (close-on-exec) and its name in *path, or -1 with errno set.
int kvtOsCreateFileBeside(const std::string &target, std::string *path);
// Standard Base64 (RFC 4648 alphabet, "=" padding), without line breaks.
std::string kvtBase64Encode(const unsigned char *data, size_t length);

} // namespace kvt

#endif
