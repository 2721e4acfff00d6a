#include "pagepaths.h"

#include <QDir>

namespace {

bool hasControlCharacter(const QString &text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

// `path` once cleaned, when it lies inside `boundary`; "" otherwise.
QString inside(const QString &path, const QString &boundary) {
    const QString clean = QDir::cleanPath(path);
    return clean.startsWith(QDir::cleanPath(boundary) + QLatin1Char('/')) ? clean : QString();
}

} // namespace

namespace PagePaths {

QString underFolder(const QString &folder, const QString &relative, const QString &boundary) {
    if (relative.isEmpty() || QDir::isAbsolutePath(relative) || relative.startsWith(QLatin1Char('\\')) ||
        hasControlCharacter(relative))
        return QString();
    return inside(folder + QLatin1Char('/') + relative, boundary);
}

QString underApplication(const QString &appDir, const QString &relative) {
    if (!relative.startsWith(QLatin1Char('/')) || hasControlCharacter(relative))
        return QString();
    return inside(appDir + relative, appDir);
}

} // namespace PagePaths
