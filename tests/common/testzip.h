#pragma once

// Zip fixtures written by the tests themselves with libzip, encrypted entries included.
#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryFile>

#include <zip.h>

struct TestZipEntry {
    TestZipEntry(const QString &name, const QByteArray &data, quint16 encryption = ZIP_EM_NONE,
                 const QByteArray &password = QByteArray(), bool stored = false)
        : name(name), data(data), encryption(encryption), password(password), stored(stored) {}
    QString name; // a name ending in "/" is a folder entry
    QByteArray data;
    quint16 encryption = ZIP_EM_NONE; // ZIP_EM_TRAD_PKWARE or ZIP_EM_AES_256
    QByteArray password;
    bool stored = false; // no compression, so that bytes in the file are the data itself
};

// Writes the entries in order; an empty list gives the 22-byte archive with no entry (libzip
// itself removes an archive that ends up empty).
inline bool writeTestZip(const QString &path, const QList<TestZipEntry> &entries) {
    if (entries.isEmpty()) {
        QFile file(path);
        const QByteArray empty = QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');
        return file.open(QIODevice::WriteOnly) && file.write(empty) == empty.size();
    }
    QFile::remove(path);
    int error = 0;
    zip_t *archive = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive)
        return false;
    for (const TestZipEntry &entry : entries) {
        const QByteArray name = entry.name.toUtf8();
        zip_int64_t index;
        if (name.endsWith('/')) {
            index = zip_dir_add(archive, name.left(name.size() - 1).constData(), ZIP_FL_ENC_UTF_8);
        } else {
            zip_source_t *source =
                zip_source_buffer(archive, entry.data.constData(), zip_uint64_t(entry.data.size()), 0);
            index = source ? zip_file_add(archive, name.constData(), source, ZIP_FL_ENC_UTF_8) : -1;
            if (index < 0 && source)
                zip_source_free(source);
        }
        if (index < 0 ||
            (entry.stored && zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0) != 0) ||
            (entry.encryption != ZIP_EM_NONE &&
             zip_file_set_encryption(archive, zip_uint64_t(index), entry.encryption,
                                     entry.password.constData()) != 0)) {
            zip_discard(archive);
            return false;
        }
    }
    return zip_close(archive) == 0;
}

// The bytes of such an archive, for an archive inside an archive.
inline QByteArray testZipBytes(const QList<TestZipEntry> &entries) {
    QTemporaryFile file;
    if (!file.open())
        return QByteArray();
    const QString path = file.fileName();
    file.close();
    if (!writeTestZip(path, entries))
        return QByteArray();
    QFile back(path);
    return back.open(QIODevice::ReadOnly) ? back.readAll() : QByteArray();
}
