#include "localfiles.h"
#include "bridgelog.h"

#include "filedialogs.h"
#include "pagepaths.h"
#include "pagescript.h"
#include "textfile.h"

#include "kvt_osfile.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTextCodec>
#include <QTextStream>
#include <QVector>

#include <algorithm>

namespace {

QString indented(const QJsonDocument &doc) {
    return QString::fromUtf8(doc.toJson(QJsonDocument::Indented));
}

void makeParentFolders(const QString &filename) {
    QDir().mkpath(QFileInfo(filename).absolutePath());
}

void reportUnwritable(const QString &name) {
    qCDebug(lcBridge).noquote() << "Could not open file " + name + " to be written";
}

bool writeUtf8Text(const QString &filename, const QString &text) {
    if (filename.isEmpty())
        return false;
    makeParentFolders(filename);
    if (TextFile::write(filename, text))
        return true;
    reportUnwritable(filename);
    return false;
}

bool writeBinary(const QString &filename, const QByteArray &bytes) {
    makeParentFolders(filename);
    if (TextFile::writeBytes(filename, bytes))
        return true;
    reportUnwritable(filename);
    return false;
}

bool replaceByCopy(const QString &source, const QString &dest) {
    makeParentFolders(dest);
    return TextFile::copy(source, dest);
}

// Lower-case hex MD5, streamed so that large files need no buffer of their size; empty when
// the file cannot be read.
QString fileMd5(const QString &path, const kvt::kvtMd5Watch &watch = kvt::kvtMd5Watch()) {
    return QString::fromStdString(kvt::kvtMd5File(QFile::encodeName(path).toStdString(), false, watch));
}

// Parses "W,H,r,g,b,a,..." into its numbers; false when any field is not a decimal integer.
bool parseFields(const QString &text, QVector<int> &fields) {
    const QStringList parts = text.split(QLatin1Char(','));
    fields.reserve(parts.size());
    for (const QString &part : parts) {
        bool ok = false;
        const int value = part.trimmed().toInt(&ok);
        if (!ok)
            return false;
        fields.append(value);
    }
    return true;
}

int channel(int value) {
    return std::clamp(value, 0, 255);
}

} // namespace

LocalFiles::LocalFiles(const QString &appDir, FileDialogs *dialogs, const OperationLog &log)
    : m_appDir(QDir::cleanPath(QDir(appDir).absolutePath())), m_dialogs(dialogs), m_log(log) {}

QString LocalFiles::htmlPath(const QString &relative) const {
    // The page reaches its project beside the HTML folder ("../project/..."), never further out
    // than the data folder.
    const QString path = PagePaths::underFolder(m_appDir + QStringLiteral("/data/html"), relative,
                                                m_appDir + QStringLiteral("/data"));
    if (path.isEmpty())
        qCWarning(lcBridge) << "Refused a path outside the data folder:" << relative;
    return path;
}

QString LocalFiles::readFile(const QString &filename) const {
    return TextFile::read(htmlPath(filename));
}

QString LocalFiles::readAbsoluteFile(const QString &filename) const {
    return TextFile::read(filename);
}

QString LocalFiles::readAnyFile(const QString &extensions) {
    const QString name = m_dialogs->openFileName(QCoreApplication::translate("LocalFiles", "Import file"),
                                                 QString(), extensions);
    if (name.isEmpty() || !QFile::exists(name))
        return QString();
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    QTextStream in(&file);
    in.setCodec("UTF-8");
    qCDebug(lcBridge) << "codec:" << in.codec()->name();
    return in.readAll();
}

bool LocalFiles::writeFile(const QString &filename, const QString &text) const {
    return writeUtf8Text(htmlPath(filename), text);
}

bool LocalFiles::writeFileAbsolute(const QString &filename, const QString &text) const {
    return writeUtf8Text(filename, text);
}

bool LocalFiles::writeFileAbsoluteFromBase64(const QString &filename, const QString &text) const {
    qCDebug(lcBridge) << filename << text.left(256);
    return writeBinary(filename, QByteArray::fromBase64(text.toLatin1()));
}

bool LocalFiles::writeFileAbsoluteFromHEXString(const QString &filename, const QString &text) const {
    qCDebug(lcBridge) << filename << text.left(256);
    return writeBinary(filename, QByteArray::fromHex(text.toLatin1()));
}

bool LocalFiles::writeFileAbsoluteFromImageData(const QString &filename, const QString &text) const {
    // The numbers come from the page: check the size against the data before allocating or
    // indexing, so a short or oversized list cannot read past the end or exhaust memory.
    QVector<int> fields;
    if (!parseFields(text, fields) || fields.size() < 2) {
        qCDebug(lcBridge) << "Invalid picture data for" << filename;
        return false;
    }
    const qint64 width = fields[0];
    const qint64 height = fields[1];
    if (width <= 0 || height <= 0 || width * height > kMaxImagePixels ||
        fields.size() < 2 + 4 * width * height) {
        qCDebug(lcBridge) << "Invalid picture size for" << filename << width << height;
        return false;
    }
    QImage image(int(width), int(height), QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int at = 2 + 4 * (y * int(width) + x);
            image.setPixel(x, y,
                           qRgba(channel(fields[at]), channel(fields[at + 1]), channel(fields[at + 2]),
                                 channel(fields[at + 3])));
        }
    }
    // Encoded first: a format that cannot be written must not cost the file that was there.
    const QByteArray format = QFileInfo(filename).suffix().toLower().toLatin1();
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    if (format.isEmpty() || !image.save(&buffer, format.constData())) {
        qCDebug(lcBridge) << "Cannot encode a picture as" << format << "for" << filename;
        return false;
    }
    return writeBinary(filename, encoded);
}

void LocalFiles::deleteFile(const QString &filename) const {
    const QString path = htmlPath(filename);
    if (!path.isEmpty())
        QFile::remove(path);
}

void LocalFiles::deleteAbsoluteFile(const QString &filename) const {
    QFile::remove(filename);
}

bool LocalFiles::fileCopy(const QString &source, const QString &dest) const {
    const QString from = htmlPath(source);
    const QString to = htmlPath(dest);
    qCDebug(lcBridge) << "source=" + from;
    qCDebug(lcBridge) << "destination=" + to;
    return !from.isEmpty() && !to.isEmpty() && replaceByCopy(from, to);
}

QString LocalFiles::fileCopyAbsolute(const QString &source, const QString &dest) const {
    qCDebug(lcBridge) << "source=" + source;
    qCDebug(lcBridge) << "destination=" + dest;
    if (!QFile::exists(source))
        return QStringLiteral("Source not found");
    return replaceByCopy(source, dest) ? QStringLiteral("true") : QStringLiteral("false");
}

QString LocalFiles::copyAbsoluteFileInVYXManager(const QString &sourceFile,
                                                 const QString &localDestinationPath) const {
    const QString destination = localDestinationPath + QFileInfo(sourceFile).fileName();
    qCDebug(lcBridge) << "copyAbsoluteFileInVYXManager destination:" << destination;
    if (!QFile::exists(sourceFile))
        return destination;
    const QString folder = QFileInfo(destination).absolutePath();
    QDir().mkpath(folder);
    qCDebug(lcBridge) << "copyAbsoluteFileInVYXManager f.absolutePath():" << folder;
    return TextFile::copy(sourceFile, destination) ? destination : QStringLiteral("-1");
}

bool LocalFiles::selectFileToCopyInVYXManager(const QString &destinationPath, const QString &title,
                                              const QString &ext) {
    const QString picked = m_dialogs->openFileName(title, QString(), ext);
    if (picked.isEmpty() || !QFile::exists(picked))
        return false;
    const QString destination = PagePaths::underApplication(m_appDir, destinationPath + QLatin1Char('_') +
                                                                          QFileInfo(picked).fileName());
    qCDebug(lcBridge) << destination;
    return !destination.isEmpty() && replaceByCopy(picked, destination);
}

QString LocalFiles::listing(const QString &path, int filters) const {
    QJsonArray entries;
    QDirIterator it(path, QDir::Filters(filters));
    while (it.hasNext()) {
        it.next();
        entries.append(QJsonObject{{QStringLiteral("name"), it.fileName()}});
        if (entries.size() > kListLimit - 1)
            break;
    }
    const QString text = indented(QJsonDocument(entries));
    qCDebug(lcBridge).noquote() << text;
    m_log.append(text);
    return text;
}

QString LocalFiles::fileList(const QString &path) const {
    return listing(path, QDir::Files | QDir::NoSymLinks);
}

QString LocalFiles::folderList(const QString &path) const {
    return listing(path, QDir::Dirs | QDir::NoSymLinks);
}

QString LocalFiles::getOpenFileName(const QString &title, const QString &folderPath, const QString &ext) {
    return m_dialogs->openFileName(title, folderPath, ext);
}

QString LocalFiles::getSaveFileName(const QString &title, const QString &folderPath, const QString &ext) {
    return m_dialogs->saveFileName(title, folderPath, ext);
}

bool LocalFiles::saveFile(const QString &title, const QString &folderPath, const QString &ext,
                          const QString &text) {
    qCDebug(lcBridge) << "Folder path:" + folderPath;
    qCDebug(lcBridge) << "Folder ext:" + ext;
    qCDebug(lcBridge) << "Folder text:" + text.left(256);
    const QString name = m_dialogs->saveFileName(title, folderPath, ext);
    qCDebug(lcBridge) << "Filename:" + name;
    if (name.isEmpty())
        return true;
    makeParentFolders(name);
    if (TextFile::write(name, text))
        return true;
    reportUnwritable(name + ext);
    return false;
}

QString LocalFiles::selectFolder(const QString &title) {
    return m_dialogs->existingDirectory(title, QString());
}

QString LocalFiles::choosePathScript() {
    const QString folder = m_dialogs->existingDirectory(
        QCoreApplication::translate("LocalFiles", "Open Directory"), QStringLiteral("/home"));
    return QStringLiteral("window.desktopApp.projectFolder(%1);")
        .arg(PageScript::singleQuotedLiteral(folder));
}

QString LocalFiles::getStoragePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QString LocalFiles::getTempPath() {
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation);
}

void LocalFiles::SetWorkingPath(const QString &path) {
    QDir::setCurrent(path);
}

QString LocalFiles::imageFileInfo(const QString &fname) const {
    qCDebug(lcBridge) << "imageFileInfo : " + fname;
    // The header gives the size without decoding the whole picture.
    QImageReader reader(fname);
    const bool readable = reader.canRead();
    QSize size = readable ? reader.size() : QSize();
    if (readable && !size.isValid())
        size = reader.read().size();
    if (!size.isValid())
        size = QSize(0, 0);
    QJsonObject object{{QStringLiteral("height"), size.height()}, {QStringLiteral("width"), size.width()}};
    return indented(QJsonDocument(object));
}

QString LocalFiles::MD5(const QString &path) {
    const QString hex = fileMd5(path);
    if (hex.isEmpty())
        return QString();
    qCDebug(lcBridge) << "MD5 " + hex;
    return hex;
}

QString LocalFiles::MD5Watched(const QString &path, const Md5Watch &watch) {
    return fileMd5(path, [&watch](uint64_t bytes) { return watch(quint64(bytes)); });
}

QString LocalFiles::MD5file(const QString &filename) {
    const QString hex = fileMd5(filename).toUpper();
    if (hex.isEmpty())
        return QString();
    qCDebug(lcBridge) << hex;
    return hex;
}

QString LocalFiles::encodeAccount(const QString &accountText) {
    QByteArray bytes = accountText.toUtf8();
    const QByteArray key = QCryptographicHash::hash(bytes, QCryptographicHash::Md5);
    char mask = 0;
    for (const char k : key)
        mask ^= k;
    for (char &b : bytes)
        b ^= mask;
    return QString::fromLatin1((key + bytes).toBase64());
}
