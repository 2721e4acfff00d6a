#include "textfile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

namespace {

// The file is replaced by renaming a new one over it, which only needs the folder to be
// writable; a file that may not be written is still refused, as a direct write would be.
bool replaceable(const QString &path) {
    const QFileInfo info(path);
    return !info.exists() || (info.isFile() && info.isWritable());
}

// Renames the finished file over the target. The buffer is flushed here first: commit() alone
// does not notice when writing the last buffered bytes fails, and would put a cut-off file in
// place of the old one.
bool finish(QSaveFile &file) {
    if (!file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace

QString TextFile::read(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    QTextStream in(&file);
    in.setCodec("UTF-8");
    return in.readAll();
}

bool TextFile::write(const QString &path, const QString &text) {
    QSaveFile file(path);
    if (!replaceable(path) || !file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << text;
    out.flush();
    if (out.status() != QTextStream::Ok) {
        file.cancelWriting();
        return false;
    }
    return finish(file);
}

bool TextFile::writeBytes(const QString &path, const QByteArray &bytes) {
    QSaveFile file(path);
    if (!replaceable(path) || !file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return finish(file);
}

bool TextFile::copy(const QString &source, const QString &dest) {
    const QFileInfo from(source);
    const QFileInfo to(dest);
    // Removing the destination first, as a plain copy does, would delete the only copy.
    if (from.exists() && to.exists() && from.canonicalFilePath() == to.canonicalFilePath())
        return true;
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const bool existed = to.exists();
    QSaveFile out(dest);
    if (!replaceable(dest) || !out.open(QIODevice::WriteOnly))
        return false;
    char buffer[64 * 1024];
    for (;;) {
        const qint64 got = in.read(buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0 || out.write(buffer, got) != got) {
            out.cancelWriting();
            return false;
        }
    }
    if (!finish(out))
        return false;
    // A new file gets the source's permissions, as a plain copy gives it (a replaced one keeps
    // its own).
    if (!existed)
        QFile::setPermissions(dest, in.permissions());
    return true;
}
