#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

// The bytes of a file, or "<missing>" when it cannot be read.
inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Writes a file, creating its folders.
inline void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(bytes) == bytes.size());
}
