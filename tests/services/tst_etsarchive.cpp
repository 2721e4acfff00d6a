#include "etsarchive.h"

#include <QTemporaryDir>
#include <QtTest>

#include "testzip.h"

namespace {

// Writes a zip with the given plain entries in order; a name ending in "/" is a folder entry.
bool makeZip(const QString &path, const QList<QPair<QString, QByteArray>> &entries) {
    QList<TestZipEntry> list;
    for (const auto &entry : entries)
        list.append({entry.first, entry.second});
    return writeTestZip(path, list);
}

} // namespace

class EtsArchiveTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void listsEveryEntryInDirectoryOrder();
    void listsWithoutFolderEntries();
    void readsEntriesWithoutRegardToCase();
    void invalidUtf8GetsReplacementCharacters();
    void unreadableInputGivesEmptyText_data();
    void unreadableInputGivesEmptyText();
    void damagedEntryIsNotHandedOver();
    void entriesBeyondTheBoundAreNotRead();
    void encryptedEntries_data();
    void encryptedEntries();
    void archiveInMemoryAndItsTruncation();

private:
    QString path(const QString &name) const { return m_dir->path() + "/" + name; }

    QScopedPointer<QTemporaryDir> m_dir;
};

void EtsArchiveTest::init() {
    m_dir.reset(new QTemporaryDir);
    QVERIFY(
        makeZip(path("with-folders.knxproj"),
                {{"P-0001/", ""}, {"P-0001/0.xml", "<zero/>"}, {"project.xml", "<project name=\"Haus\"/>"}}));
    QVERIFY(makeZip(path("flat.knxproj"), {{"P-0001/0.xml", "<zero/>"}, {"project.xml", "<project/>"}}));
}

void EtsArchiveTest::listsEveryEntryInDirectoryOrder() {
    QCOMPARE(EtsArchive::fileList(path("with-folders.knxproj")),
             QString("P-0001/\nP-0001/0.xml\nproject.xml\n"));
}

void EtsArchiveTest::listsWithoutFolderEntries() {
    QCOMPARE(EtsArchive::fileList(path("flat.knxproj")), QString("P-0001/0.xml\nproject.xml\n"));
    QVERIFY(makeZip(path("empty.zip"), {}));
    QCOMPARE(EtsArchive::fileList(path("empty.zip")), QString());
}

void EtsArchiveTest::readsEntriesWithoutRegardToCase() {
    const QString archive = path("with-folders.knxproj");
    QCOMPARE(EtsArchive::readFile(archive, "PROJECT.XML"), QString("<project name=\"Haus\"/>"));
    QCOMPARE(EtsArchive::readFile(archive, "p-0001/0.XML"), QString("<zero/>"));
    QCOMPARE(EtsArchive::readFile(archive, "P-0001/"), QString());
    QCOMPARE(EtsArchive::readFile(archive, "P-0001/1.xml"), QString());
}

void EtsArchiveTest::invalidUtf8GetsReplacementCharacters() {
    QVERIFY(makeZip(path("bytes.zip"), {{"t.txt", QByteArray("a\xff"
                                                             "b\xc3\xa4",
                                                             5)}}));
    QCOMPARE(EtsArchive::readFile(path("bytes.zip"), "t.txt"),
             QString("a") + QChar(QChar::ReplacementCharacter) + QString::fromUtf8("bä"));
}

void EtsArchiveTest::unreadableInputGivesEmptyText_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("not a zip") << "notes.txt";
    QTest::newRow("missing") << "missing.zip";
    QTest::newRow("folder") << "";
}

void EtsArchiveTest::unreadableInputGivesEmptyText() {
    QFETCH(QString, name);
    QFile notes(path("notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("this is plain text and no zip archive at all");
    notes.close();
    QCOMPARE(EtsArchive::fileList(path(name)), QString());
    QCOMPARE(EtsArchive::readFile(path(name), "project.xml"), QString());
}

void EtsArchiveTest::damagedEntryIsNotHandedOver() {
    // Stored (uncompressed) so that a flipped byte reaches the checksum unchanged.
    const QString archive = path("stored.zip");
    QVERIFY(writeTestZip(archive, {{"data.txt", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", ZIP_EM_NONE, {}, true}}));
    QFile raw(archive);
    QVERIFY(raw.open(QIODevice::ReadWrite));
    QByteArray bytes = raw.readAll();
    const int at = bytes.indexOf("ABCDEF");
    QVERIFY(at > 0);
    bytes[at] = 'Z';
    raw.seek(0);
    raw.write(bytes);
    raw.close();
    QCOMPARE(EtsArchive::fileList(archive), QString("data.txt\n"));
    QCOMPARE(EtsArchive::readFile(archive, "data.txt"), QString());
}

void EtsArchiveTest::entriesBeyondTheBoundAreNotRead() {
    const QString archive = path("flat.knxproj");
    QCOMPARE(EtsArchive::readFile(archive, "project.xml", 10), QString("<project/>"));
    QCOMPARE(EtsArchive::readFile(archive, "project.xml", 9), QString());
}

void EtsArchiveTest::encryptedEntries_data() {
    QTest::addColumn<int>("method");
    QTest::addColumn<QByteArray>("given");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("stored");
    using S = ZipArchive::Status;
    const QByteArray right = "s3cr\xc3\xa9t";
    for (const bool stored : {false, true}) {
        const char *kind = stored ? " stored" : " deflated";
        QTest::addRow("pkware right%s", kind) << int(ZIP_EM_TRAD_PKWARE) << right << int(S::Ok) << stored;
        QTest::addRow("pkware wrong%s", kind)
            << int(ZIP_EM_TRAD_PKWARE) << QByteArray("secret") << int(S::WrongPassword) << stored;
        QTest::addRow("pkware none%s", kind)
            << int(ZIP_EM_TRAD_PKWARE) << QByteArray() << int(S::NeedsPassword) << stored;
        QTest::addRow("aes right%s", kind) << int(ZIP_EM_AES_256) << right << int(S::Ok) << stored;
        QTest::addRow("aes wrong%s", kind)
            << int(ZIP_EM_AES_256) << QByteArray("secret") << int(S::WrongPassword) << stored;
        QTest::addRow("aes none%s", kind)
            << int(ZIP_EM_AES_256) << QByteArray() << int(S::NeedsPassword) << stored;
    }
}

void EtsArchiveTest::encryptedEntries() {
    QFETCH(int, method);
    QFETCH(QByteArray, given);
    QFETCH(int, status);
    QFETCH(bool, stored);
    const QByteArray content = QByteArray("<KNX>").append(QByteArray(3000, 'x')).append("</KNX>");
    const QString archive = path("locked.zip");
    QVERIFY(writeTestZip(archive, {{"0.xml", content, quint16(method), "s3cr\xc3\xa9t", stored}}));
    const auto zip = ZipArchive::openFile(archive);
    QVERIFY(zip);
    QVERIFY(zip->encrypted(0));
    QCOMPARE(zip->aesEncrypted(0), method == ZIP_EM_AES_256);
    // A wrong password passes the one-byte PKWARE check one time in 256; it must then still be
    // reported as a wrong password and never as damage. Several attempts cover both paths.
    for (int attempt = 0; attempt < 8; ++attempt) {
        QByteArray data;
        QString why;
        QCOMPARE(int(zip->readAll(0, given, 1 << 20, &data, &why)), status);
        QCOMPARE(data, status == int(ZipArchive::Status::Ok) ? content : QByteArray());
    }
    // The page's plain read never decrypts.
    QCOMPARE(EtsArchive::readFile(archive, "0.xml"), QString());
}

void EtsArchiveTest::archiveInMemoryAndItsTruncation() {
    const QByteArray bytes = testZipBytes({{"Project.xml", "<KNX/>"}, {"0.xml", "<zero/>"}});
    QVERIFY(bytes.size() > 100);
    const auto zip = ZipArchive::openBytes(bytes);
    QVERIFY(zip);
    QCOMPARE(zip->count(), 2);
    QByteArray data;
    QCOMPARE(zip->readAll(zip->locate("project.XML"), {}, 100, &data), ZipArchive::Status::Ok);
    QCOMPARE(data, QByteArray("<KNX/>"));
    QCOMPARE(zip->readAll(zip->locate("0.xml"), {}, 6, &data), ZipArchive::Status::TooLarge);
    QCOMPARE(zip->locate("1.xml"), -1);
    QCOMPARE(zip->readAll(-1, {}, 100, &data), ZipArchive::Status::NotFound);
    QString why;
    QVERIFY(!ZipArchive::openBytes(bytes.left(bytes.size() - 10), &why));
    QVERIFY(!why.isEmpty());
    QVERIFY(!ZipArchive::openBytes(QByteArray(), &why));
}

QTEST_GUILESS_MAIN(EtsArchiveTest)
#include "tst_etsarchive.moc"
