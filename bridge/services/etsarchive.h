#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

struct zip;

// One zip archive opened read-only, from a file or from bytes in memory (an archive inside an
// archive). Entries are found without regard to case and may be encrypted (traditional PKWARE or
// WinZip AES). Not shared between threads: each reader opens its own.
class ZipArchive {
public:
    enum class Status { Ok, NotFound, TooLarge, NeedsPassword, WrongPassword, Damaged };

    // nullptr when the file is no zip archive; `error` then says why.
    static std::unique_ptr<ZipArchive> openFile(const QString &path, QString *error = nullptr);
    static std::unique_ptr<ZipArchive> openBytes(const QByteArray &bytes, QString *error = nullptr);
    ~ZipArchive();
    ZipArchive(const ZipArchive &) = delete;
    ZipArchive &operator=(const ZipArchive &) = delete;

    qint64 count() const;
    QString name(qint64 index) const;
    // -1 when there is no such entry; names are compared without regard to case.
    qint64 locate(const QString &name) const;
    // The size the archive claims for the entry's data.
    qint64 size(qint64 index) const;
    bool encrypted(qint64 index) const;
    bool aesEncrypted(qint64 index) const;

    // Reads the entry in pieces and hands each one to `sink`; a sink that answers false stops the
    // read (the answer is then Ok). Reads no more than the claimed size plus one byte, and refuses
    // entries whose claimed or actual size exceeds `maxBytes`. `password` is used only for
    // encrypted entries. `detail` receives a short English reason on failure.
    Status read(qint64 index, const QByteArray &password, qint64 maxBytes,
                const std::function<bool(const char *, qint64)> &sink, QString *detail = nullptr);
    // The whole entry into `out`. Once *cancel holds it stops between two pieces (out is then
    // empty, the answer Ok): the caller looks at the flag.
    Status readAll(qint64 index, const QByteArray &password, qint64 maxBytes, QByteArray *out,
                   QString *detail = nullptr, const std::atomic<bool> *cancel = nullptr);

private:
    ZipArchive(zip *archive, const QByteArray &bytes);

    zip *m_zip;
    QByteArray m_bytes; // the memory an in-memory archive reads from
};

// Read-only access to ETS project archives for the page: listing and reading plain entries.
class EtsArchive {
public:
    // Entries larger than this are not read (a small archive can expand to any size).
    static constexpr qint64 kMaxEntryBytes = 256LL * 1024 * 1024;

    // Every entry name, folders included, each followed by "\n", in directory order;
    // "" when the archive cannot be opened or is empty.
    static QString fileList(const QString &projectPath);
    // The entry `filePath` (matched without regard to case) decoded as UTF-8; "" when the
    // archive, the entry or its data cannot be read, or *cancel came to hold.
    static QString readFile(const QString &projectPath, const QString &filePath,
                            qint64 maxBytes = kMaxEntryBytes, const std::atomic<bool> *cancel = nullptr);
};
