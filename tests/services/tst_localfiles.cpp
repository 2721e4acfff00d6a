#include "fakefiledialogs.h"
#include "testfiles.h"
#include "localfiles.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList names(const QString &listing)
{
    QStringList result;
    for (const QJsonValue &entry : QJsonDocument::fromJson(listing.toUtf8()).array())
        result << entry.toObject().value("name").toString();
    result.sort();
    return result;
}

} // namespace

class LocalFilesTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void textFilesRoundTripThroughTheHtmlTree();
    void binaryWriters();
    void pictureFromNumbers();
    void pictureFromBadNumbers_data();
    void pictureFromBadNumbers();
    void copies();
    void listingsStopAfter201Entries();
    void folderListingIncludesDotEntries();
    void dialogs();
    void choosePathEscapesTheFolder_data();
    void choosePathEscapesTheFolder();
    void imageInfo();
    void checksums();
    void encodeAccount_data();
    void encodeAccount();
    void workingPathMovesTheLog();

private:
    QString app(const QString &relative) const { return m_app->path() + relative; }

    QScopedPointer<QTemporaryDir> m_app;
    QScopedPointer<FakeFileDialogs> m_dialogs;
    QScopedPointer<LocalFiles> m_files;
};

void LocalFilesTest::init()
{
    m_app.reset(new QTemporaryDir);
    m_dialogs.reset(new FakeFileDialogs);
    m_files.reset(new LocalFiles(m_app->path(), m_dialogs.data(), OperationLog(m_app->path())));
}

void LocalFilesTest::textFilesRoundTripThroughTheHtmlTree()
{
    const QString text = QString::fromUtf8("Wärme\nzweite Zeile €\n");
    QVERIFY(m_files->writeFile("cfg/deep/a.json", text));
    QCOMPARE(readBytes(app("/data/html/cfg/deep/a.json")), text.toUtf8());
    QCOMPARE(m_files->readFile("cfg/deep/a.json"), text);
    QCOMPARE(m_files->readAbsoluteFile(app("/data/html/cfg/deep/a.json")), text);
    QCOMPARE(m_files->readFile("missing.txt"), QString());

    QVERIFY(m_files->writeFileAbsolute(app("/x/y/b.txt"), "one"));
    QVERIFY(m_files->writeFileAbsolute(app("/x/y/b.txt"), "two")); // replaces
    QCOMPARE(readBytes(app("/x/y/b.txt")), QByteArray("two"));
    QVERIFY(!m_files->writeFileAbsolute(app("/x/y"), "a folder is not writable"));

    m_files->deleteFile("cfg/deep/a.json");
    QVERIFY(!QFile::exists(app("/data/html/cfg/deep/a.json")));
    m_files->deleteAbsoluteFile(app("/x/y/b.txt"));
    QVERIFY(!QFile::exists(app("/x/y/b.txt")));
}

void LocalFilesTest::binaryWriters()
{
    QVERIFY(m_files->writeFileAbsoluteFromBase64(app("/b/bin"), "AP+A"));
    QCOMPARE(readBytes(app("/b/bin")), QByteArray("\x00\xff\x80", 3));
    // Characters that are not hexadecimal digits are skipped.
    QVERIFY(m_files->writeFileAbsoluteFromHEXString(app("/h/bin"), "48:65 6C-6c:6F"));
    QCOMPARE(readBytes(app("/h/bin")), QByteArray("Hello"));
    QVERIFY(!m_files->writeFileAbsoluteFromHEXString(app("/h"), "00"));
}

void LocalFilesTest::pictureFromNumbers()
{
    const QString target = app("/img/red.png");
    QVERIFY(m_files->writeFileAbsoluteFromImageData(target, "1,1,255,0,0,255"));
    QImage red(target);
    QCOMPARE(red.size(), QSize(1, 1));
    QCOMPARE(red.pixel(0, 0), qRgba(255, 0, 0, 255));

    // Row by row from the top left.
    QVERIFY(m_files->writeFileAbsoluteFromImageData(
        app("/img/two.png"), "2,2,255,0,0,255,0,255,0,255,0,0,255,255,0,0,0,0"));
    QImage two(app("/img/two.png"));
    QCOMPARE(two.pixel(1, 0), qRgba(0, 255, 0, 255));
    QCOMPARE(two.pixel(0, 1), qRgba(0, 0, 255, 255));
    QCOMPARE(qAlpha(two.pixel(1, 1)), 0);
}

void LocalFilesTest::pictureFromBadNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("too few groups") << "2,2,255,0,0,255";
    QTest::newRow("size only") << "1,1";
    QTest::newRow("huge") << "100000,100000,1,2,3,4";
    QTest::newRow("negative") << "-1,1,1,2,3,4";
    QTest::newRow("zero") << "0,0";
    QTest::newRow("not numbers") << "a,b,c";
    QTest::newRow("empty") << "";
}

void LocalFilesTest::pictureFromBadNumbers()
{
    QFETCH(QString, text);
    QVERIFY(!m_files->writeFileAbsoluteFromImageData(app("/img/bad.png"), text));
}

void LocalFilesTest::copies()
{
    writeBytes(app("/data/html/a.txt"), "A");
    writeBytes(app("/data/html/sub/b.txt"), "old");
    QVERIFY(m_files->fileCopy("a.txt", "sub/b.txt"));
    QCOMPARE(readBytes(app("/data/html/sub/b.txt")), QByteArray("A"));
    QVERIFY(m_files->fileCopy("a.txt", "new/dir/c.txt"));
    QVERIFY(!m_files->fileCopy("missing.txt", "d.txt"));

    const QString source = app("/src/s.bin");
    writeBytes(source, "S");
    QCOMPARE(m_files->fileCopyAbsolute(app("/none"), app("/t")), QString("Source not found"));
    QCOMPARE(m_files->fileCopyAbsolute(source, app("/t/u/s.bin")), QString("true"));
    QCOMPARE(m_files->fileCopyAbsolute(source, app("/t/u/s.bin")), QString("true"));
    QCOMPARE(readBytes(app("/t/u/s.bin")), QByteArray("S"));

    // The destination path is answered even when the source is missing.
    QCOMPARE(m_files->copyAbsoluteFileInVYXManager(app("/src/none.bin"), app("/dest/")),
             app("/dest/none.bin"));
    QVERIFY(!QFile::exists(app("/dest/none.bin")));
    QCOMPARE(m_files->copyAbsoluteFileInVYXManager(source, app("/dest/")), app("/dest/s.bin"));
    QCOMPARE(readBytes(app("/dest/s.bin")), QByteArray("S"));

    QVERIFY(!m_files->selectFileToCopyInVYXManager("/data/plugins/p", "Pick", "*.bin"));
    m_dialogs->answers << source;
    QVERIFY(m_files->selectFileToCopyInVYXManager("/data/plugins/p", "Pick", "*.bin"));
    QCOMPARE(readBytes(app("/data/plugins/p_s.bin")), QByteArray("S"));
    QCOMPARE(m_dialogs->requests.last().title, QString("Pick"));
    QCOMPARE(m_dialogs->requests.last().filter, QString("*.bin"));
}

void LocalFilesTest::listingsStopAfter201Entries()
{
    const QString folder = app("/many");
    for (int i = 0; i < 250; ++i)
        writeBytes(folder + QString("/f%1.txt").arg(i), "x");
    QDir().mkpath(folder + "/sub");
    const QString text = m_files->fileList(folder);
    const QStringList listed = names(text);
    QCOMPARE(listed.size(), 201);
    QVERIFY(!listed.contains("sub"));
    QVERIFY(text.startsWith("[\n    {\n        \"name\": \"f"));
    QVERIFY(readBytes(app("/log.txt")).startsWith(text.toUtf8()));
}

void LocalFilesTest::folderListingIncludesDotEntries()
{
    const QString folder = app("/tree");
    QDir().mkpath(folder + "/one");
    QDir().mkpath(folder + "/two");
    writeBytes(folder + "/file.txt", "x");
    QVERIFY(QFile::link(folder + "/one", folder + "/linked"));
    QCOMPARE(names(m_files->folderList(folder)), (QStringList{".", "..", "one", "two"}));
    QCOMPARE(names(m_files->fileList(folder)), QStringList{"file.txt"});
    QCOMPARE(m_files->fileList(app("/missing")), QString("[\n]\n"));
}

void LocalFilesTest::dialogs()
{
    m_dialogs->answers << "/picked/open.txt" << "/picked/save.txt" << "/picked/folder";
    QCOMPARE(m_files->getOpenFileName("Open", "/start", "*.txt"), QString("/picked/open.txt"));
    QCOMPARE(m_files->getSaveFileName("Save", "/start", "*.txt"), QString("/picked/save.txt"));
    QCOMPARE(m_files->selectFolder("Folder"), QString("/picked/folder"));
    QCOMPARE(m_dialogs->requests[1].kind, QString("save"));
    QCOMPARE(m_dialogs->requests[1].directory, QString("/start"));
    QCOMPARE(m_dialogs->requests[2].kind, QString("folder"));
    QCOMPARE(m_files->getOpenFileName("Open", "", ""), QString());

    // saveFile: true when cancelled, true when written, false when not writable.
    QVERIFY(m_files->saveFile("Save", "/start", ".txt", "text"));
    m_dialogs->answers << app("/saved/deep/s.txt");
    QVERIFY(m_files->saveFile("Save", "/start", ".txt", "text"));
    QCOMPARE(readBytes(app("/saved/deep/s.txt")), QByteArray("text"));
    m_dialogs->answers << app("/saved");
    QVERIFY(!m_files->saveFile("Save", "/start", ".txt", "text"));

    writeBytes(app("/import.txt"), QString::fromUtf8("ümport").toUtf8());
    m_dialogs->answers << app("/import.txt");
    QCOMPARE(m_files->readAnyFile("*.txt"), QString::fromUtf8("ümport"));
    QCOMPARE(m_dialogs->requests.last().title, QString("Import file"));
    QCOMPARE(m_files->readAnyFile("*.txt"), QString());
    m_dialogs->answers << app("/not-there.txt");
    QCOMPARE(m_files->readAnyFile("*.txt"), QString());
}

void LocalFilesTest::choosePathEscapesTheFolder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("script");
    QTest::newRow("cancelled") << "" << "window.desktopApp.projectFolder('');";
    QTest::newRow("plain") << "/home/me/p" << "window.desktopApp.projectFolder('/home/me/p');";
    QTest::newRow("quote") << "/home/o'neil');alert(1);('"
                           << "window.desktopApp.projectFolder('/home/o\\'neil\\');alert(1);(\\'');";
    QTest::newRow("backslash") << "/a\\b" << "window.desktopApp.projectFolder('/a\\\\b');";
}

void LocalFilesTest::choosePathEscapesTheFolder()
{
    QFETCH(QString, folder);
    QFETCH(QString, script);
    if (!folder.isEmpty())
        m_dialogs->answers << folder;
    QCOMPARE(m_files->choosePathScript(), script);
    QCOMPARE(m_dialogs->requests.last().title, QString("Open Directory"));
    QCOMPARE(m_dialogs->requests.last().directory, QString("/home"));
}

void LocalFilesTest::imageInfo()
{
    QImage image(3, 2, QImage::Format_ARGB32);
    image.fill(Qt::green);
    QVERIFY(image.save(app("/p.png")));
    QCOMPARE(m_files->imageFileInfo(app("/p.png")), QString("{\n    \"height\": 2,\n    \"width\": 3\n}\n"));
    writeBytes(app("/p.txt"), "not a picture");
    QCOMPARE(m_files->imageFileInfo(app("/p.txt")), QString("{\n    \"height\": 0,\n    \"width\": 0\n}\n"));
    QCOMPARE(m_files->imageFileInfo(app("/none.png")), QString("{\n    \"height\": 0,\n    \"width\": 0\n}\n"));
}

void LocalFilesTest::checksums()
{
    writeBytes(app("/abc"), "abc");
    QCOMPARE(LocalFiles::MD5(app("/abc")), QString("900150983cd24fb0d6963f7d28e17f72"));
    QCOMPARE(LocalFiles::MD5file(app("/abc")), QString("900150983CD24FB0D6963F7D28E17F72"));
    QCOMPARE(LocalFiles::MD5(app("/none")), QString());
    QCOMPARE(LocalFiles::MD5file(app("/none")), QString());
}

void LocalFilesTest::encodeAccount_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("encoded");
    // Digest of the empty input alone.
    QTest::newRow("empty") << "" << "1B2M2Y8AsgTpgAmY7PhCfg==";
    QTest::newRow("abc") << "abc" << "kAFQmDzST7DWlj99KOF/cu/s7Q==";
    QTest::newRow("utf-8") << QString::fromUtf8("user:pässword")
                           << "c57EVuulPSIZR473uOmWEaqsuq3lrxx7rKyosK27";
}

void LocalFilesTest::encodeAccount()
{
    QFETCH(QString, account);
    QFETCH(QString, encoded);
    QCOMPARE(LocalFiles::encodeAccount(account), encoded);
}

void LocalFilesTest::workingPathMovesTheLog()
{
    const QString before = QDir::currentPath();
    LocalFiles::SetWorkingPath(m_app->path());
    appendLog("first line");
    appendLog("second");
    LocalFiles::SetWorkingPath(before);
    QCOMPARE(readBytes(app("/log.txt")), QByteArray("first line\nsecond\n"));
    QVERIFY(!LocalFiles::getTempPath().isEmpty());
    QVERIFY(!LocalFiles::getStoragePath().isEmpty());
}

QTEST_MAIN(LocalFilesTest)
#include "tst_localfiles.moc"
