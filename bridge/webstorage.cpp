#include "webstorage.h"

#include "bridgelog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace WebStorage {

const char kFileOriginStorage[] = "file__0.localstorage";

namespace {

bool makePrivateFolder(const QString &path) {
    if (!QDir().mkpath(path))
        return false;
    return ::chmod(QFile::encodeName(path).constData(), 0700) == 0;
}

// A file of the user's alone, made empty when missing: SQLite keeps the mode of a database it
// opens, and gives its journal files the same.
bool makePrivateFile(const QString &path) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    const bool ok = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    return ok;
}

// Earlier versions kept the local storage at the root of the data folder. Moved once: the new
// place wins when both exist. The journal files SQLite may have left go with it.
void moveEarlierStorage(const QString &dataHome, const QString &localStorage) {
    const QString earlier = dataHome + QStringLiteral("/LocalStorage/") + QLatin1String(kFileOriginStorage);
    const QString now = localStorage + QLatin1Char('/') + QLatin1String(kFileOriginStorage);
    if (!QFileInfo(earlier).isFile() || QFileInfo::exists(now))
        return;
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) {
        const QString from = earlier + QLatin1String(suffix);
        if (QFileInfo::exists(from) && !QFile::rename(from, now + QLatin1String(suffix)))
            qCWarning(lcBridge) << "The saved sites could not be moved from" << from << "to" << localStorage;
    }
    qCInfo(lcBridge) << "Moved the page's local storage from" << earlier << "to" << now;
}

} // namespace

QString prepareIn(const QString &dataHome) {
    const QString root = dataHome + QStringLiteral("/vyxdesk/webkit");
    const QString localStorage = root + QStringLiteral("/LocalStorage");
    if (!makePrivateFolder(dataHome + QStringLiteral("/vyxdesk")) || !makePrivateFolder(root) ||
        !makePrivateFolder(localStorage))
        qCWarning(lcBridge) << "The web storage folder" << root << "cannot be made private";
    moveEarlierStorage(dataHome, localStorage);
    const QString file = localStorage + QLatin1Char('/') + QLatin1String(kFileOriginStorage);
    if (!makePrivateFile(file))
        qCWarning(lcBridge) << "The page's local storage" << file << "cannot be made private";
    return root;
}

QString prepare() {
    return prepareIn(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
}

} // namespace WebStorage
