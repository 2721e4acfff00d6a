#include "etsarchive.h"

#include <QDebug>

#include <quazip.h>
#include <quazipfile.h>

QString EtsArchive::fileList(const QString &projectPath)
{
    QuaZip zip(projectPath);
    if (!zip.open(QuaZip::mdUnzip))
        return QString();
    QString text;
    for (const QString &name : zip.getFileNameList())
        text += name + QLatin1Char('\n');
    zip.close();
    return text;
}

QString EtsArchive::readFile(const QString &projectPath, const QString &filePath,
                             qint64 maxBytes)
{
    QuaZip zip(projectPath);
    if (!zip.open(QuaZip::mdUnzip)) {
        qDebug() << "error";
        return QString();
    }
    if (!zip.setCurrentFile(filePath, QuaZip::csInsensitive))
        return QString();
    qDebug() << zip.getZipError();
    QuaZipFile entry(&zip);
    const bool opened = entry.open(QIODevice::ReadOnly);
    qDebug() << zip.getZipError();
    if (!opened)
        return QString();
    // The size in the header is only a claim; read one byte past the bound to see the truth.
    if (entry.usize() > maxBytes)
        return QString();
    const QByteArray data = entry.read(maxBytes + 1);
    const bool complete = entry.getZipError() == UNZ_OK && data.size() <= maxBytes;
    entry.close();
    // The CRC is checked on close: damaged data is not handed over.
    if (!complete || entry.getZipError() != UNZ_OK)
        return QString();
    return QString::fromUtf8(data);
}
