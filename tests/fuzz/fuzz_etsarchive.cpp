// ETS archive listing and entry reading on arbitrary bytes: opening, naming, locating and reading
// every entry stay within bounds whatever the archive's directory claims.
#include "etsarchive.h"

#include <QByteArray>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    std::unique_ptr<ZipArchive> archive = ZipArchive::openBytes(bytes);
    if (!archive)
        return 0;
    const qint64 count = archive->count();
    constexpr qint64 kMaxRead = 1 << 20;
    for (qint64 i = 0; i < count && i < 64; ++i) {
        const QString name = archive->name(i);
        archive->locate(name);
        archive->size(i);
        archive->encrypted(i);
        archive->aesEncrypted(i);
        QByteArray out;
        if (archive->readAll(i, QByteArrayLiteral("password"), kMaxRead, &out) == ZipArchive::Status::Ok &&
            out.size() > kMaxRead)
            std::abort();
    }
    return 0;
}
