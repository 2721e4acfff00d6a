#include "kvt_osfolder.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvt {

namespace {

bool isFolder(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeFolder(const std::string &path) {
    return (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) && isFolder(path);
}

std::string folderOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool kvtMakePrivateFolders(const std::string &path) {
    if (path.empty())
        return false;
    for (size_t pos = 1; pos < path.size(); ++pos) {
        if (path[pos] == '/' && path[pos - 1] != '/' && !makeFolder(path.substr(0, pos)))
            return false;
    }
    return makeFolder(path);
}

bool kvtCreatePrivateFile(const std::string &path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    struct stat st {};
    return errno == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool kvtSyncFolderOf(const std::string &path) {
    const int fd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace kvt
