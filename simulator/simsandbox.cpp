#include "simsandbox.h"

#include "kvt_osfile.h"
#include "simdatabase.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Lower-case hex MD5 of a file inside the sandbox, never through a symbolic link; empty when
// it cannot be read.
std::string md5OfFile(const std::string &path) {
    std::unique_ptr<FILE, int (*)(FILE *)> f(simOpenNoFollow(path, "rb"), &std::fclose);
    return f ? kvt::kvtMd5OfOpenFile(f.get()) : std::string();
}

bool makeDirs(const std::string &path) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

std::string realPath(const std::string &path) {
    char buffer[PATH_MAX];
    if (!realpath(path.c_str(), buffer))
        return {};
    return buffer;
}

bool isDir(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

SimResult ok(const std::string &info) {
    return {0, info};
}

SimResult fail(const std::string &info) {
    return {1, info};
}

std::string errnoText() {
    return std::strerror(errno);
}

} // namespace

FILE *simOpenNoFollow(const std::string &path, const char *mode) {
    const std::string m = mode;
    int flags = O_RDONLY;
    if (m == "wb")
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    else if (m == "ab")
        flags = O_WRONLY | O_CREAT | O_APPEND;
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, mode);
    if (!f)
        ::close(fd);
    return f;
}

bool SimSandbox::open(const std::string &root, uint32_t initialDbSize, std::string &error) {
    std::string base = root;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (!makeDirs(base + "/files") || !makeDirs(base + "/config")) {
        error = "cannot create the sandbox in " + base + ": " + errnoText();
        return false;
    }
    m_root = realPath(base);
    struct stat rootStat {};
    if (!m_root.empty() && (stat(m_root.c_str(), &rootStat) != 0 || rootStat.st_uid != geteuid())) {
        error = "the sandbox " + base + " belongs to another user";
        return false;
    }
    m_files = m_root + "/files";
    m_filesReal = realPath(m_files);
    m_db = m_root + "/config/vyx.db";
    if (m_root.empty() || m_filesReal.empty()) {
        error = "cannot resolve the sandbox " + base;
        return false;
    }
    std::string why;
    if (!isFile(m_db) && !simWriteInitialDatabase(m_db, initialDbSize, why)) {
        error = "cannot create the database " + m_db + ": " + why;
        return false;
    }
    return true;
}

bool SimSandbox::insideTree(const std::string &path) const {
    // The deepest existing ancestor decides: a symbolic link there may point anywhere.
    std::string probe = path;
    std::string real;
    while (!probe.empty()) {
        real = realPath(probe);
        if (!real.empty())
            break;
        size_t slash = probe.rfind('/');
        if (slash == std::string::npos)
            return false;
        probe.erase(slash);
    }
    return real == m_filesReal ||
           (real.size() > m_filesReal.size() && real.compare(0, m_filesReal.size(), m_filesReal) == 0 &&
            real[m_filesReal.size()] == '/');
}

bool SimSandbox::resolve(const std::string &clientPath, std::string &out, std::string &why) const {
    if (clientPath.empty()) {
        why = "empty path";
        return false;
    }
    if (clientPath[0] == '/') {
        why = "absolute paths are not allowed: " + clientPath;
        return false;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= clientPath.size()) {
        size_t slash = clientPath.find('/', start);
        if (slash == std::string::npos)
            slash = clientPath.size();
        std::string part = clientPath.substr(start, slash - start);
        start = slash + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (parts.empty()) {
                why = "path leaves the server folder: " + clientPath;
                return false;
            }
            parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    out = m_files;
    for (const auto &p : parts)
        out += "/" + p;
    if (!insideTree(out)) {
        why = "path leaves the server folder: " + clientPath;
        return false;
    }
    return true;
}

SimResult SimSandbox::createFolder(const std::string &clientPath) {
    std::string path, why;
    if (!resolve(clientPath, path, why))
        return fail(why);
    if (isDir(path))
        return ok("Folder already exists");
    if (!makeDirs(path))
        return fail("Can not create folder " + clientPath + ": " + errnoText());
    return ok("Folder created");
}

SimResult SimSandbox::deleteFolder(const std::string &clientPath) {
    std::string path, why;
    if (!resolve(clientPath, path, why))
        return fail(why);
    if (path == m_files)
        return fail("The server folder itself cannot be deleted");
    if (!isDir(path))
        return fail("Folder not found: " + clientPath);
    // FTW_PHYS: links inside the tree are removed, never followed.
    if (nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS) != 0)
        return fail("Can not delete folder " + clientPath + ": " + errnoText());
    return ok("Folder deleted");
}

SimResult SimSandbox::createFile(const std::string &clientPath) {
    std::string path, why;
    if (!resolve(clientPath, path, why))
        return fail(why);
    if (isDir(path))
        return fail("A folder has this name: " + clientPath);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail("Can not create file " + clientPath + ": " + errnoText());
    ::close(fd);
    return ok("File created");
}

SimResult SimSandbox::deleteFile(const std::string &clientPath) {
    std::string path, why;
    if (!resolve(clientPath, path, why))
        return fail(why);
    if (isDir(path))
        return fail("Is a folder: " + clientPath);
    if (unlink(path.c_str()) != 0)
        return fail("Can not delete file " + clientPath + ": " + errnoText());
    return ok("File deleted");
}

SimResult SimSandbox::appendFile(const std::string &clientPath, const unsigned char *data, size_t length,
                                 size_t &written) {
    written = 0;
    std::string path, why;
    if (!resolve(clientPath, path, why))
        return fail(why);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail("Can not open file " + clientPath + ": " + errnoText());
    while (written < length) {
        ssize_t n = ::write(fd, data + written, length - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            SimResult r = fail("Can not write file " + clientPath + ": " + errnoText());
            ::close(fd);
            return r;
        }
        written += size_t(n);
    }
    ::close(fd);
    return ok("Data appended");
}

std::string SimSandbox::fileMd5(const std::string &clientPath) const {
    std::string path, why;
    if (!resolve(clientPath, path, why) || !isFile(path))
        return {};
    return md5OfFile(path);
}

bool SimSandbox::exists(const std::string &clientPath) const {
    std::string path, why;
    struct stat st {};
    return resolve(clientPath, path, why) && lstat(path.c_str(), &st) == 0;
}

SimResult SimSandbox::listFolder(const std::string &clientPath) const {
    std::string path, why;
    if (clientPath.empty() || clientPath == ".")
        path = m_files;
    else if (!resolve(clientPath, path, why))
        return fail(why);
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(path.c_str()), &closedir);
    if (!dir)
        return fail("ls: cannot access '" + clientPath + "': " + errnoText());
    std::vector<std::string> names;
    while (dirent *e = readdir(dir.get())) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        if (isDir(path + "/" + name))
            name += "/";
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::string text;
    for (const auto &n : names)
        text += (text.empty() ? "" : "\n") + n;
    return ok(text);
}

SimResult SimSandbox::readText(const std::string &clientPath, size_t limit) const {
    std::string path, why;
    if (!resolve(clientPath, path, why))
        return fail(why);
    if (!isFile(path))
        return fail("cat: " + clientPath + ": No such file");
    std::unique_ptr<FILE, int (*)(FILE *)> f(simOpenNoFollow(path, "rb"), &std::fclose);
    if (!f)
        return fail("cat: " + clientPath + ": " + errnoText());
    std::string text(limit, '\0');
    text.resize(std::fread(&text[0], 1, limit, f.get()));
    return ok(text);
}

std::string SimSandbox::dbMd5() const {
    return md5OfFile(m_db);
}

uint64_t SimSandbox::dbSize() const {
    struct stat st {};
    if (stat(m_db.c_str(), &st) != 0)
        return 0;
    return uint64_t(st.st_size);
}

bool SimSandbox::readDb(uint64_t offset, size_t length, std::vector<unsigned char> &out) const {
    std::unique_ptr<FILE, int (*)(FILE *)> f(simOpenNoFollow(m_db, "rb"), &std::fclose);
    if (!f || fseeko(f.get(), off_t(offset), SEEK_SET) != 0)
        return false;
    out.resize(length);
    out.resize(std::fread(out.data(), 1, length, f.get()));
    return !std::ferror(f.get());
}

SimResult SimSandbox::replaceDb(const std::string &clientPath, const std::string &md5, std::string &newMd5) {
    std::string path, why;
    newMd5 = dbMd5();
    if (!resolve(clientPath, path, why))
        return fail(why);
    if (!isFile(path))
        return fail("Uploaded file not found: " + clientPath);
    std::string actual = md5OfFile(path);
    if (actual != md5)
        return {2, "MD5 of the uploaded file differs: " + actual};
    std::string staged = m_db + ".new";
    std::unique_ptr<FILE, int (*)(FILE *)> in(simOpenNoFollow(path, "rb"), &std::fclose);
    std::unique_ptr<FILE, int (*)(FILE *)> out(simOpenNoFollow(staged, "wb"), &std::fclose);
    if (!in || !out)
        return {3, "Can not stage the new database: " + errnoText()};
    std::vector<unsigned char> block(65536);
    size_t n;
    while ((n = std::fread(block.data(), 1, block.size(), in.get())) > 0) {
        if (std::fwrite(block.data(), 1, n, out.get()) != n)
            return {3, "Can not write the new database: " + errnoText()};
    }
    if (std::fflush(out.get()) != 0)
        return {3, "Can not write the new database: " + errnoText()};
    out.reset();
    // The old database stays until the new one is complete; rename swaps them in one step.
    if (std::rename(staged.c_str(), m_db.c_str()) != 0)
        return {3, "Can not replace the database: " + errnoText()};
    unlink(path.c_str());
    newMd5 = dbMd5();
    return ok("Database changed");
}

uint64_t SimSandbox::fileSize(const std::string &clientPath) const {
    std::string path, why;
    struct stat st {};
    if (!resolve(clientPath, path, why) || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return uint64_t(st.st_size);
}
