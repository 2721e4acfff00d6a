#include "fakefiledialogs.h"
#include "localfiles.h"
#include "testfiles.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

// Each writer of the page replaces app/data/html/t/target.png with more than 4 KiB.
using Writer = std::function<bool(LocalFiles &, FakeFileDialogs &, const QString &app)>;

QByteArray bigBytes() {
    QByteArray bytes(64 * 1024, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 7919) >> 3);
    return bytes;
}

QString noisyPictureData() {
    QStringList fields{"64", "64"};
    quint32 state = 1;
    for (int i = 0; i < 64 * 64 * 4; ++i) {
        state = state * 1103515245 + 12345;
        fields << QString::number(i % 4 == 3 ? 255 : int((state >> 16) & 0xff));
    }
    return fields.join(',');
}

QStringList names(const QString &listing) {
    QStringList result;
    for (const QJsonValue &entry : QJsonDocument::fromJson(listing.toUtf8()).array())
        result << entry.toObject().value("name").toString();
    result.sort();
    return result;
}

} // namespace

Q_DECLARE_METATYPE(Writer)

class LocalFilesTest : public QObject {
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
    void pagePathsStayInsideTheDataFolder_data();
    void pagePathsStayInsideTheDataFolder();
    void failedWritesKeepTheOldFile_data();
    void failedWritesKeepTheOldFile();
    void pictureThatCannotBeEncodedKeepsTheOldFile();
    void copyOntoItselfChangesNothing();

private:
    QString app(const QString &relative) const { return m_app->path() + relative; }

    QScopedPointer<QTemporaryDir> m_app;
    QScopedPointer<FakeFileDialogs> m_dialogs;
    QScopedPointer<LocalFiles> m_files;
};

void LocalFilesTest::init() {
    m_app.reset(new QTemporaryDir);
    m_dialogs.reset(new FakeFileDialogs);
    m_files.reset(new LocalFiles(m_app->path(), m_dialogs.data(), OperationLog(m_app->path())));
}

void LocalFilesTest::textFilesRoundTripThroughTheHtmlTree() {
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

void LocalFilesTest::binaryWriters() {
    QVERIFY(m_files->writeFileAbsoluteFromBase64(app("/b/bin"), "AP+A"));
    QCOMPARE(readBytes(app("/b/bin")), QByteArray("\x00\xff\x80", 3));
    // Characters that are not hexadecimal digits are skipped.
    QVERIFY(m_files->writeFileAbsoluteFromHEXString(app("/h/bin"), "48:65 6C-6c:6F"));
    QCOMPARE(readBytes(app("/h/bin")), QByteArray("Hello"));
    QVERIFY(!m_files->writeFileAbsoluteFromHEXString(app("/h"), "00"));
}

void LocalFilesTest::pictureFromNumbers() {
    const QString target = app("/img/red.png");
    QVERIFY(m_files->writeFileAbsoluteFromImageData(target, "1,1,255,0,0,255"));
    QImage red(target);
    QCOMPARE(red.size(), QSize(1, 1));
    QCOMPARE(red.pixel(0, 0), qRgba(255, 0, 0, 255));

    // Row by row from the top left.
    QVERIFY(m_files->writeFileAbsoluteFromImageData(app("/img/two.png"),
                                                    "2,2,255,0,0,255,0,255,0,255,0,0,255,255,0,0,0,0"));
    QImage two(app("/img/two.png"));
    QCOMPARE(two.pixel(1, 0), qRgba(0, 255, 0, 255));
    QCOMPARE(two.pixel(0, 1), qRgba(0, 0, 255, 255));
    QCOMPARE(qAlpha(two.pixel(1, 1)), 0);
}

void LocalFilesTest::pictureFromBadNumbers_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("too few groups") << "2,2,255,0,0,255";
    QTest::newRow("size only") << "1,1";
    QTest::newRow("huge") << "100000,100000,1,2,3,4";
    QTest::newRow("negative") << "-1,1,1,2,3,4";
    QTest::newRow("zero") << "0,0";
    QTest::newRow("not numbers") << "a,b,c";
    QTest::newRow("empty") << "";
}

void LocalFilesTest::pictureFromBadNumbers() {
    QFETCH(QString, text);
    QVERIFY(!m_files->writeFileAbsoluteFromImageData(app("/img/bad.png"), text));
}

void LocalFilesTest::copies() {
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
    // The destination is application-relative and stays inside the application directory (here
    // one folder down, so that "outside" is still inside the test's folder).
    LocalFiles inner(app("/inner"), m_dialogs.data());
    for (const QString refused : {"/../p", "/data/../../p", "data/p", "/data/p\n"}) {
        m_dialogs->answers << source;
        QVERIFY2(!inner.selectFileToCopyInVYXManager(refused, "Pick", "*.bin"), qPrintable(refused));
    }
    QVERIFY(!QFileInfo::exists(app("/p_s.bin")));
}

void LocalFilesTest::listingsStopAfter201Entries() {
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

void LocalFilesTest::folderListingIncludesDotEntries() {
    const QString folder = app("/tree");
    QDir().mkpath(folder + "/one");
    QDir().mkpath(folder + "/two");
    writeBytes(folder + "/file.txt", "x");
    QVERIFY(QFile::link(folder + "/one", folder + "/linked"));
    QCOMPARE(names(m_files->folderList(folder)), (QStringList{".", "..", "one", "two"}));
    QCOMPARE(names(m_files->fileList(folder)), QStringList{"file.txt"});
    QCOMPARE(m_files->fileList(app("/missing")), QString("[\n]\n"));
}

void LocalFilesTest::dialogs() {
    m_dialogs->answers << "/picked/open.txt"
                       << "/picked/save.txt"
                       << "/picked/folder";
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

void LocalFilesTest::choosePathEscapesTheFolder_data() {
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("script");
    QTest::newRow("cancelled") << ""
                               << "window.desktopApp.projectFolder('');";
    QTest::newRow("plain") << "/home/me/p"
                           << "window.desktopApp.projectFolder('/home/me/p');";
    QTest::newRow("quote") << "/home/o'neil');alert(1);('"
                           << "window.desktopApp.projectFolder('/home/o\\'neil\\');alert(1);(\\'');";
    QTest::newRow("backslash") << "/a\\b"
                               << "window.desktopApp.projectFolder('/a\\\\b');";
}

void LocalFilesTest::choosePathEscapesTheFolder() {
    QFETCH(QString, folder);
    QFETCH(QString, script);
    if (!folder.isEmpty())
        m_dialogs->answers << folder;
    QCOMPARE(m_files->choosePathScript(), script);
    QCOMPARE(m_dialogs->requests.last().title, QString("Open Directory"));
    QCOMPARE(m_dialogs->requests.last().directory, QString("/home"));
}

void LocalFilesTest::imageInfo() {
    QImage image(3, 2, QImage::Format_ARGB32);
    image.fill(Qt::green);
    QVERIFY(image.save(app("/p.png")));
    QCOMPARE(m_files->imageFileInfo(app("/p.png")), QString("{\n    \"height\": 2,\n    \"width\": 3\n}\n"));
    writeBytes(app("/p.txt"), "not a picture");
    QCOMPARE(m_files->imageFileInfo(app("/p.txt")), QString("{\n    \"height\": 0,\n    \"width\": 0\n}\n"));
    QCOMPARE(m_files->imageFileInfo(app("/none.png")),
             QString("{\n    \"height\": 0,\n    \"width\": 0\n}\n"));
}

void LocalFilesTest::checksums() {
    writeBytes(app("/abc"), "abc");
    QCOMPARE(LocalFiles::MD5(app("/abc")), QString("900150983cd24fb0d6963f7d28e17f72"));
    QCOMPARE(LocalFiles::MD5file(app("/abc")), QString("900150983CD24FB0D6963F7D28E17F72"));
    QCOMPARE(LocalFiles::MD5(app("/none")), QString());
    QCOMPARE(LocalFiles::MD5file(app("/none")), QString());
}

void LocalFilesTest::encodeAccount_data() {
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("encoded");
    // Digest of the empty input alone.
    QTest::newRow("empty") << ""
                           << "1B2M2Y8AsgTpgAmY7PhCfg==";
    QTest::newRow("abc") << "abc"
                         << "kAFQmDzST7DWlj99KOF/cu/s7Q==";
    QTest::newRow("utf-8") << QString::fromUtf8("user:pässword")
                           << "c57EVuulPSIZR473uOmWEaqsuq3lrxx7rKyosK27";
}

void LocalFilesTest::encodeAccount() {
    QFETCH(QString, account);
    QFETCH(QString, encoded);
    QCOMPARE(LocalFiles::encodeAccount(account), encoded);
}

void LocalFilesTest::workingPathMovesTheLog() {
    const QString before = QDir::currentPath();
    LocalFiles::SetWorkingPath(m_app->path());
    appendLog("first line");
    appendLog("second");
    LocalFiles::SetWorkingPath(before);
    QCOMPARE(readBytes(app("/log.txt")), QByteArray("first line\nsecond\n"));
    QVERIFY(!LocalFiles::getTempPath().isEmpty());
    QVERIFY(!LocalFiles::getStoragePath().isEmpty());
}

void LocalFilesTest::pagePathsStayInsideTheDataFolder_data() {
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QString>("where"); // relative to the application directory
    QTest::addColumn<bool>("allowed");
    // The page keeps its project beside the HTML folder.
    QTest::newRow("project beside") << "../project/p.data"
                                    << "/data/project/p.data" << true;
    QTest::newRow("plain") << "cfg/a.json"
                           << "/data/html/cfg/a.json" << true;
    QTest::newRow("out of data") << "../../escaped.txt"
                                 << "/escaped.txt" << false;
    QTest::newRow("hidden climb") << "a/b/../../../../escaped.txt"
                                  << "/escaped.txt" << false;
    QTest::newRow("absolute") << "/" + QDir::tempPath().mid(1) + "/vyx-absolute.txt"
                              << "/data/html" + QDir::tempPath() + "/vyx-absolute.txt" << false;
    QTest::newRow("control character") << "a\nb.txt"
                                       << "/data/html/a\nb.txt" << false;
    QTest::newRow("nul") << QString("../../escaped.txt") + QChar(0) + "/../html/x.txt"
                         << "/escaped.txt" << false;
}

void LocalFilesTest::pagePathsStayInsideTheDataFolder() {
    QFETCH(QString, relative);
    QFETCH(QString, where);
    QFETCH(bool, allowed);
    QCOMPARE(m_files->writeFile(relative, "w"), allowed);
    QCOMPARE(QFileInfo::exists(app(where)), allowed);
    QFile::remove(QDir::tempPath() + "/vyx-absolute.txt");

    writeBytes(app(where), "there");
    writeBytes(app("/data/html/src.txt"), "src");
    QCOMPARE(m_files->readFile(relative), allowed ? QString("there") : QString());
    QCOMPARE(m_files->fileCopy("src.txt", relative), allowed);
    QCOMPARE(m_files->fileCopy(relative, "copy.txt"), allowed);
    QCOMPARE(readBytes(app(where)), allowed ? QByteArray("src") : QByteArray("there"));
    m_files->deleteFile(relative);
    QCOMPARE(QFileInfo::exists(app(where)), !allowed);
}

void LocalFilesTest::failedWritesKeepTheOldFile_data() {
    const QString target = "/data/html/t/target.png";
    QTest::addColumn<Writer>("writer");
    QTest::newRow("writeFile") << Writer([](LocalFiles &f, FakeFileDialogs &, const QString &) {
        return f.writeFile("t/target.png", QString::fromLatin1(bigBytes().toHex()));
    });
    QTest::newRow("writeFileAbsolute")
        << Writer([target](LocalFiles &f, FakeFileDialogs &, const QString &app) {
               return f.writeFileAbsolute(app + target, QString::fromLatin1(bigBytes().toHex()));
           });
    QTest::newRow("saveFile") << Writer([target](LocalFiles &f, FakeFileDialogs &d, const QString &app) {
        d.answers << app + target;
        return f.saveFile("Save", "", ".png", QString::fromLatin1(bigBytes().toHex()));
    });
    QTest::newRow("base64") << Writer([target](LocalFiles &f, FakeFileDialogs &, const QString &app) {
        return f.writeFileAbsoluteFromBase64(app + target, QString::fromLatin1(bigBytes().toBase64()));
    });
    QTest::newRow("hex") << Writer([target](LocalFiles &f, FakeFileDialogs &, const QString &app) {
        return f.writeFileAbsoluteFromHEXString(app + target, QString::fromLatin1(bigBytes().toHex()));
    });
    QTest::newRow("picture") << Writer([target](LocalFiles &f, FakeFileDialogs &, const QString &app) {
        return f.writeFileAbsoluteFromImageData(app + target, noisyPictureData());
    });
    QTest::newRow("fileCopy") << Writer([](LocalFiles &f, FakeFileDialogs &, const QString &) {
        return f.fileCopy("big/target.png", "t/target.png");
    });
    QTest::newRow("fileCopyAbsolute")
        << Writer([target](LocalFiles &f, FakeFileDialogs &, const QString &app) {
               return f.fileCopyAbsolute(app + "/data/html/big/target.png", app + target) == "true";
           });
    QTest::newRow("copyInManager") << Writer([](LocalFiles &f, FakeFileDialogs &, const QString &app) {
        return f.copyAbsoluteFileInVYXManager(app + "/data/html/big/target.png", app + "/data/html/t/") !=
               "-1";
    });
}

// A full disk and a target that may not be written answer false and leave the file that was
// there: nothing is truncated before the new content is complete.
void LocalFilesTest::failedWritesKeepTheOldFile() {
    QFETCH(Writer, writer);
    const QString target = app("/data/html/t/target.png");
    writeBytes(app("/data/html/big/target.png"), bigBytes());
    writeBytes(target, "old contents");
    const auto attempt = [&] { return writer(*m_files, *m_dialogs, m_app->path()); };

    QCOMPARE(answerInChild(fullDisk(4096), attempt), 0);
    QCOMPARE(readBytes(target), QByteArray("old contents"));
    QCOMPARE(QDir(app("/data/html/t")).entryList(QDir::Files | QDir::Hidden), QStringList{"target.png"});

    // Unwritable for the child: the file and, once, also its folder.
    QVERIFY(QFile::setPermissions(m_app->path(), QFile::permissions(m_app->path()) | QFile::ExeOther));
    for (const QString &folder : {app("/data"), app("/data/html"), app("/data/html/big")})
        QVERIFY(
            QFile::setPermissions(folder, QFile::permissions(folder) | QFile::ReadOther | QFile::ExeOther));
    QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    QFile::Permissions open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther |
                              QFile::WriteOther | QFile::ExeOther;
    for (const QFile::Permissions folder : {open, open & ~QFile::WriteOther}) {
        QVERIFY(QFile::setPermissions(app("/data/html/t"), folder));
        QCOMPARE(answerInChild(withoutPrivileges(), attempt), 0);
        QCOMPARE(readBytes(target), QByteArray("old contents"));
    }
    QVERIFY(QFile::setPermissions(app("/data/html/t"), open));

    // And with room to write, the file is replaced.
    QCOMPARE(answerInChild([] {}, attempt), 1);
    QVERIFY(readBytes(target).size() > 4096);
}

void LocalFilesTest::pictureThatCannotBeEncodedKeepsTheOldFile() {
    for (const QString name : {"/p.no-such-format", "/p"}) {
        writeBytes(app(name), "old");
        QVERIFY(!m_files->writeFileAbsoluteFromImageData(app(name), "1,1,255,0,0,255"));
        QCOMPARE(readBytes(app(name)), QByteArray("old"));
    }
}

void LocalFilesTest::copyOntoItselfChangesNothing() {
    writeBytes(app("/data/html/same.txt"), "same");
    QCOMPARE(m_files->fileCopyAbsolute(app("/data/html/same.txt"), app("/data/html/./same.txt")),
             QString("true"));
    QVERIFY(m_files->fileCopy("same.txt", "same.txt"));
    QCOMPARE(m_files->copyAbsoluteFileInVYXManager(app("/data/html/same.txt"), app("/data/html/")),
             app("/data/html/same.txt"));
    QCOMPARE(readBytes(app("/data/html/same.txt")), QByteArray("same"));
    // A copy that fails (the source is a folder) leaves the destination alone.
    writeBytes(app("/dest.txt"), "kept");
    QDir().mkpath(app("/folder"));
    QCOMPARE(m_files->fileCopyAbsolute(app("/folder"), app("/dest.txt")), QString("false"));
    QCOMPARE(readBytes(app("/dest.txt")), QByteArray("kept"));
}

QTEST_MAIN(LocalFilesTest)
#include "tst_localfiles.moc"
