#include "etsarchive.h"

#include <QFile>
#include <QLoggingCategory>

#include <zip.h>

Q_LOGGING_CATEGORY(lcEtsArchive, "vyx.ets.archive", QtWarningMsg)

namespace {

QString errorText(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const QString text = QString::fromUtf8(zip_error_strerror(&error));
    zip_error_fini(&error);
    return text;
}

using Status = ZipArchive::Status;

// Why an entry could not be opened; clears the archive's error.
Status openFailure(zip *archive, QString &why) {
    const int code = zip_error_code_zip(zip_get_error(archive));
    why = errorText(code);
    zip_error_clear(archive);
    if (code == ZIP_ER_NOPASSWD) {
        why = QStringLiteral("the entry is encrypted");
        return Status::NeedsPassword;
    }
    if (code == ZIP_ER_WRONGPASSWD) {
        why = QStringLiteral("wrong password");
        return Status::WrongPassword;
    }
    return Status::Damaged;
}

// Hands an open entry's data to `sink` piece by piece. The claimed size is only a claim: one byte
// more shows whether the data holds more.
Status copyEntry(zip_file_t *file, qint64 claimed, bool isEncrypted,
                 const std::function<bool(const char *, qint64)> &sink, QString &why) {
    const qint64 limit = claimed + 1;
    qint64 total = 0;
    static constexpr qint64 kPiece = 256 * 1024;
    QByteArray buffer(int(qMin(kPiece, limit)), Qt::Uninitialized);
    for (;;) {
        const qint64 want = qMin<qint64>(buffer.size(), limit - total);
        if (want <= 0)
            return Status::Ok;
        const zip_int64_t got = zip_fread(file, buffer.data(), zip_uint64_t(want));
        if (got < 0) {
            // Data that fails its checksum or cannot be inflated after decryption is what a
            // wrong password yields when the password check byte matched by chance.
            why = isEncrypted ? QStringLiteral("wrong password (or the encrypted entry is damaged)")
                              : errorText(zip_error_code_zip(zip_file_get_error(file)));
            return isEncrypted ? Status::WrongPassword : Status::Damaged;
        }
        if (got == 0)
            return Status::Ok;
        total += got;
        if (total > claimed) {
            why = QStringLiteral("the entry holds more data than its header says");
            return Status::Damaged;
        }
        if (!sink(buffer.constData(), got))
            return Status::Ok;
    }
}

} // namespace

ZipArchive::ZipArchive(zip *archive, const QByteArray &bytes) : m_zip(archive), m_bytes(bytes) {}

ZipArchive::~ZipArchive() {
    if (m_zip)
        zip_discard(m_zip);
}

std::unique_ptr<ZipArchive> ZipArchive::openFile(const QString &path, QString *error) {
    int code = 0;
    zip *archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &code);
    if (!archive) {
        if (error)
            *error = errorText(code);
        return nullptr;
    }
    return std::unique_ptr<ZipArchive>(new ZipArchive(archive, QByteArray()));
}

std::unique_ptr<ZipArchive> ZipArchive::openBytes(const QByteArray &bytes, QString *error) {
    if (bytes.isEmpty()) {
        if (error)
            *error = QStringLiteral("the archive is empty");
        return nullptr;
    }
    zip_error_t zerror;
    zip_error_init(&zerror);
    // The source reads from the copy held by the archive object, which outlives it.
    std::unique_ptr<ZipArchive> result(new ZipArchive(nullptr, bytes));
    zip_source_t *source = zip_source_buffer_create(result->m_bytes.constData(),
                                                    zip_uint64_t(result->m_bytes.size()), 0, &zerror);
    if (source) {
        result->m_zip = zip_open_from_source(source, ZIP_RDONLY, &zerror);
        if (!result->m_zip)
            zip_source_free(source);
    }
    if (!result->m_zip) {
        if (error)
            *error = QString::fromUtf8(zip_error_strerror(&zerror));
        zip_error_fini(&zerror);
        return nullptr;
    }
    zip_error_fini(&zerror);
    return result;
}

qint64 ZipArchive::count() const {
    return qint64(zip_get_num_entries(m_zip, 0));
}

QString ZipArchive::name(qint64 index) const {
    const char *text = zip_get_name(m_zip, zip_uint64_t(index), ZIP_FL_ENC_GUESS);
    return text ? QString::fromUtf8(text) : QString();
}

qint64 ZipArchive::locate(const QString &name) const {
    return qint64(zip_name_locate(m_zip, name.toUtf8().constData(), ZIP_FL_NOCASE | ZIP_FL_ENC_GUESS));
}

qint64 ZipArchive::size(qint64 index) const {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(m_zip, zip_uint64_t(index), 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE))
        return -1;
    return st.size > zip_uint64_t(INT64_MAX) ? -1 : qint64(st.size);
}

bool ZipArchive::encrypted(qint64 index) const {
    zip_stat_t st;
    zip_stat_init(&st);
    return zip_stat_index(m_zip, zip_uint64_t(index), 0, &st) == 0 &&
           (st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE;
}

bool ZipArchive::aesEncrypted(qint64 index) const {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(m_zip, zip_uint64_t(index), 0, &st) != 0 || !(st.valid & ZIP_STAT_ENCRYPTION_METHOD))
        return false;
    return st.encryption_method == ZIP_EM_AES_128 || st.encryption_method == ZIP_EM_AES_192 ||
           st.encryption_method == ZIP_EM_AES_256;
}

ZipArchive::Status ZipArchive::read(qint64 index, const QByteArray &password, qint64 maxBytes,
                                    const std::function<bool(const char *, qint64)> &sink, QString *detail) {
    auto fail = [detail](Status status, const QString &why) {
        if (detail)
            *detail = why;
        return status;
    };
    if (index < 0 || index >= count())
        return fail(Status::NotFound, QStringLiteral("no such entry"));
    const qint64 claimed = size(index);
    if (claimed < 0)
        return fail(Status::Damaged, QStringLiteral("the entry's size cannot be read"));
    if (claimed > maxBytes)
        return fail(Status::TooLarge, QStringLiteral("the entry is larger than %1 bytes").arg(maxBytes));
    const bool isEncrypted = encrypted(index);
    zip_file_t *file = zip_fopen_index_encrypted(
        m_zip, zip_uint64_t(index), 0, isEncrypted && !password.isEmpty() ? password.constData() : nullptr);
    if (!file) {
        QString why;
        const Status status = openFailure(m_zip, why);
        return fail(status, why);
    }
    QString why;
    const Status status = copyEntry(file, claimed, isEncrypted, sink, why);
    zip_fclose(file);
    return status == Status::Ok ? status : fail(status, why);
}

ZipArchive::Status ZipArchive::readAll(qint64 index, const QByteArray &password, qint64 maxBytes,
                                       QByteArray *out, QString *detail, const std::atomic<bool> *cancel) {
    out->clear();
    const qint64 claimed = size(index);
    if (claimed >= 0 && claimed <= maxBytes)
        out->reserve(int(qMin<qint64>(claimed, INT_MAX - 1)));
    const Status status = read(
        index, password, maxBytes,
        [out, cancel](const char *data, qint64 n) {
            if (cancel && cancel->load())
                return false;
            out->append(data, int(n));
            return true;
        },
        detail);
    if (status != Status::Ok || (cancel && cancel->load()))
        out->clear();
    return status;
}

QString EtsArchive::fileList(const QString &projectPath) {
    const auto archive = ZipArchive::openFile(projectPath);
    if (!archive)
        return QString();
    QString text;
    const qint64 n = archive->count();
    for (qint64 i = 0; i < n; ++i)
        text += archive->name(i) + QLatin1Char('\n');
    return text;
}

QString EtsArchive::readFile(const QString &projectPath, const QString &filePath, qint64 maxBytes,
                             const std::atomic<bool> *cancel) {
    QString why;
    const auto archive = ZipArchive::openFile(projectPath, &why);
    if (!archive) {
        qCDebug(lcEtsArchive) << "cannot open archive:" << why;
        return QString();
    }
    const qint64 index = archive->locate(filePath);
    if (index < 0) {
        qCDebug(lcEtsArchive) << "no entry" << filePath;
        return QString();
    }
    // Only plain entries: protected projects are read by the import, which asks for the password.
    QByteArray data;
    if (archive->readAll(index, QByteArray(), qMin<qint64>(maxBytes, INT_MAX - 1), &data, &why, cancel) !=
        ZipArchive::Status::Ok) {
        qCDebug(lcEtsArchive) << "cannot read entry" << filePath << why;
        return QString();
    }
    return QString::fromUtf8(data);
}
