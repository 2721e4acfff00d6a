#include "textfile.h"

#include <QFile>
#include <QTextStream>

QString TextFile::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    QTextStream in(&file);
    in.setCodec("UTF-8");
    return in.readAll();
}

bool TextFile::write(const QString &path, const QString &text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << text;
    out.flush();
    return out.status() == QTextStream::Ok;
}
