// The ETS project reader on arbitrary project data. The input is up to three XML texts, each
// after the first following a line "--": the project data, the manufacturer's hardware and one
// application program. They are packed as an export lays them out and read back; the reader must
// answer with one of its states and keep every text it hands on within its bounds.
#include "etsproject.h"
#include "testzip.h"

#include <QJsonArray>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

// Where the reader looks for each part; the hardware maps "M-0083_H-1_HP-1" to the program.
const char *const kEntries[] = {"P-0001/0.xml", "M-0083/Hardware.xml", "M-0083/M-0083_A-0001-10-ABCD.xml"};

void checkBounds(const QJsonObject &result) {
    for (const QJsonValue &v : result.value(QStringLiteral("groupAddresses")).toArray()) {
        const QJsonObject ga = v.toObject();
        if (ga.value(QStringLiteral("dptRaw")).toString().size() > 4096 ||
            ga.value(QStringLiteral("dpt")).toString().size() > 4096)
            std::abort();
        const QJsonValue from = ga.value(QStringLiteral("dptFrom"));
        if (!from.isNull() && (!from.isObject() || ga.value(QStringLiteral("dptRaw")).toString().isEmpty()))
            std::abort();
    }
}

// The archive each input is packed into, in a folder of its own for the whole run.
QString archivePath() {
    static QTemporaryDir root;
    return root.filePath(QStringLiteral("fuzz.knxproj"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const QList<QByteArray> parts = input.split('\n');
    QList<QByteArray> texts{QByteArray()};
    for (const QByteArray &line : parts) {
        if (line == "--" && texts.size() < 3)
            texts.append(QByteArray());
        else
            texts.last() += line + '\n';
    }
    QList<TestZipEntry> entries;
    for (int i = 0; i < texts.size(); ++i)
        entries.append({QString::fromLatin1(kEntries[i]), texts.at(i)});
    const QString path = archivePath();
    if (!writeTestZip(path, entries))
        return 0;
    EtsProjectReader::Limits limits;
    limits.maxEntryBytes = 1 << 20;
    const QJsonObject r = EtsProjectReader::read(path, QString(), {}, nullptr, limits);
    const QString status = r.value(QStringLiteral("status")).toString();
    if (status != QLatin1String("ok") && status != QLatin1String("error"))
        std::abort();
    checkBounds(r);
    return 0;
}
