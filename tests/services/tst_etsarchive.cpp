#include "etsarchive.h"

#include <QTemporaryDir>
#include <QtTest>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>

namespace {

// Writes a zip with the given entries in order; a name ending in "/" is a folder entry.
bool makeZip(const QString &path, const QList<QPair<QString, QByteArray>> &entries)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const auto &entry : entries) {
        QuaZipFile file(&zip);
        if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(entry.first)))
            return false;
        file.write(entry.second);
        file.close();
        if (file.getZipError() != ZIP_OK)
            return false;
    }
    zip.close();
    return zip.getZipError() == ZIP_OK;
}

} // namespace

class EtsArchiveTest : public QObject
{
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

private:
    QString path(const QString &name) const { return m_dir->path() + "/" + name; }

    QScopedPointer<QTemporaryDir> m_dir;
};

void EtsArchiveTest::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(makeZip(path("with-folders.knxproj"), {{"P-0001/", ""},
                                                   {"P-0001/0.xml", "<zero/>"},
                                                   {"project.xml", "<project name=\"Haus\"/>"}}));
    QVERIFY(makeZip(path("flat.knxproj"),
                    {{"P-0001/0.xml", "<zero/>"}, {"project.xml", "<project/>"}}));
}

void EtsArchiveTest::listsEveryEntryInDirectoryOrder()
{
    QCOMPARE(EtsArchive::fileList(path("with-folders.knxproj")),
             QString("P-0001/\nP-0001/0.xml\nproject.xml\n"));
}

void EtsArchiveTest::listsWithoutFolderEntries()
{
    QCOMPARE(EtsArchive::fileList(path("flat.knxproj")), QString("P-0001/0.xml\nproject.xml\n"));
    QVERIFY(makeZip(path("empty.zip"), {}));
    QCOMPARE(EtsArchive::fileList(path("empty.zip")), QString());
}

void EtsArchiveTest::readsEntriesWithoutRegardToCase()
{
    const QString archive = path("with-folders.knxproj");
    QCOMPARE(EtsArchive::readFile(archive, "PROJECT.XML"), QString("<project name=\"Haus\"/>"));
    QCOMPARE(EtsArchive::readFile(archive, "p-0001/0.XML"), QString("<zero/>"));
    QCOMPARE(EtsArchive::readFile(archive, "P-0001/"), QString());
    QCOMPARE(EtsArchive::readFile(archive, "P-0001/1.xml"), QString());
}

void EtsArchiveTest::invalidUtf8GetsReplacementCharacters()
{
    QVERIFY(makeZip(path("bytes.zip"), {{"t.txt", QByteArray("a\xff" "b\xc3\xa4", 5)}}));
    QCOMPARE(EtsArchive::readFile(path("bytes.zip"), "t.txt"),
             QString("a") + QChar(QChar::ReplacementCharacter) + QString::fromUtf8("bä"));
}

void EtsArchiveTest::unreadableInputGivesEmptyText_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("not a zip") << "notes.txt";
    QTest::newRow("missing") << "missing.zip";
    QTest::newRow("folder") << "";
}

void EtsArchiveTest::unreadableInputGivesEmptyText()
{
    QFETCH(QString, name);
    QFile notes(path("notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("this is plain text and no zip archive at all");
    notes.close();
    QCOMPARE(EtsArchive::fileList(path(name)), QString());
    QCOMPARE(EtsArchive::readFile(path(name), "project.xml"), QString());
}

void EtsArchiveTest::damagedEntryIsNotHandedOver()
{
    // Stored (uncompressed) so that a flipped byte reaches the checksum unchanged.
    const QString archive = path("stored.zip");
    {
        QuaZip zip(archive);
        QVERIFY(zip.open(QuaZip::mdCreate));
        QuaZipFile file(&zip);
        QVERIFY(file.open(QIODevice::WriteOnly, QuaZipNewInfo("data.txt"), nullptr, 0, 0, 0));
        file.write("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
        file.close();
        zip.close();
    }
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

void EtsArchiveTest::entriesBeyondTheBoundAreNotRead()
{
    const QString archive = path("flat.knxproj");
    QCOMPARE(EtsArchive::readFile(archive, "project.xml", 10), QString("<project/>"));
    QCOMPARE(EtsArchive::readFile(archive, "project.xml", 9), QString());
}

QTEST_GUILESS_MAIN(EtsArchiveTest)
#include "tst_etsarchive.moc"
