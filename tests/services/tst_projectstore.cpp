#include "fakefiledialogs.h"
#include "projectstore.h"
#include "testfiles.h"

#include <QImage>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The result text as the page receives it, written out by hand.
QString resultText(const QString &message, const QString &path, const QString &status,
                   const QString *project = nullptr, bool withMessage = true) {
    const QString name = path.isEmpty() ? QString() : QFileInfo(path).fileName();
    QString text = "{\n";
    if (withMessage)
        text += "    \"message\": \"" + message + "\",\n";
    text += "    \"name\": \"" + name + "\",\n";
    text += "    \"path\": \"" + path + "\",\n";
    if (project)
        text += "    \"project\": \"" + *project + "\",\n";
    text += "    \"status\": \"" + status + "\"\n}\n";
    return text;
}

} // namespace

class ProjectStoreTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void roundTripRestoresObjectsAndAssets();
    void loadRemovesStrayAssets();
    void saveOverExistingKeepsOneOldVersion();
    void savedFileHasTheProjectTable();
    void lastObjectsRowWins();
    void failureResults();
    void lockedFileIsNotOverwritten();
    void unreadableAssetFailsTheSave();
    void loadingAFileThatIsNoProjectChangesNothing();
    void rowsOutsideTheAssetsFolderAreSkipped();
    void namesWithControlCharactersAreSkipped_data();
    void namesWithControlCharactersAreSkipped();
    void loadThatCannotBeWrittenKeepsTheWorkingProject();
    void clearProjectLeavesEmptyFolders();
    void clearingDoesNotFollowLinkedFolders();
    void selectImageCopiesUnderTheRequestedSize();

private:
    QString assets(const QString &relative = QString()) const {
        return m_app->path() + "/data/project/assets" + relative;
    }
    QString projectFile(const QString &name) const { return m_files->path() + "/" + name; }
    void makeAssets();
    void makeDatabase(const QString &path, const QStringList &objects,
                      const QList<QPair<QString, QByteArray>> &images);

    QScopedPointer<QTemporaryDir> m_app;
    QScopedPointer<QTemporaryDir> m_files;
    QScopedPointer<FakeFileDialogs> m_dialogs;
    QScopedPointer<ProjectStore> m_store;
};

void ProjectStoreTest::init() {
    m_app.reset(new QTemporaryDir);
    m_files.reset(new QTemporaryDir);
    m_dialogs.reset(new FakeFileDialogs);
    QDir().mkpath(assets());
    m_store.reset(new ProjectStore(m_app->path(), m_dialogs.data(), OperationLog(m_app->path())));
}

void ProjectStoreTest::cleanup() {
    m_store.reset();
    const QString name = QSqlDatabase::database(QSqlDatabase::defaultConnection, false).connectionName();
    if (!name.isEmpty())
        QSqlDatabase::removeDatabase(name);
}

void ProjectStoreTest::makeAssets() {
    writeBytes(assets("/img/backgrounds/R10x20_a.png"), QByteArray("\x89PNG\0\1\2", 7));
    writeBytes(assets("/img/icons/deep/nested/b.svg"), "<svg/>");
    writeBytes(assets("/img/it's here.bin"), QByteArray(3000, '\xAB'));
    writeBytes(assets("/.hidden"), "h");
}

void ProjectStoreTest::makeDatabase(const QString &path, const QStringList &objects,
                                    const QList<QPair<QString, QByteArray>> &images) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "maker");
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(ProjectStore::kTableStatement));
        for (const QString &json : objects) {
            query.prepare("insert into vyx_project (type,info) values ('objects',?)");
            query.addBindValue(json);
            QVERIFY(query.exec());
        }
        for (const auto &image : images) {
            query.prepare("insert into vyx_project (type,info,data) values ('image',?,?)");
            query.addBindValue(image.first);
            query.addBindValue(image.second);
            QVERIFY(query.exec());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("maker");
}

void ProjectStoreTest::roundTripRestoresObjectsAndAssets() {
    makeAssets();
    const QString json = QString::fromUtf8("{\"objects\":[{\"name\":\"Küche 'A'\"}]}");
    const QString path = projectFile("house.vyx");
    QCOMPARE(m_store->saveProject(json, path, "", "vyx"), resultText("", path, "ok"));

    m_store->clearProject();
    QVERIFY(!QFile::exists(assets("/img")));

    QCOMPARE(m_store->loadProject(path, "", "vyx"), resultText("", path, "ok"));
    QFile data(m_app->path() + "/data/project/project.data");
    QVERIFY(data.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(data.readAll()), json);
    QCOMPARE(readBytes(assets("/img/backgrounds/R10x20_a.png")), QByteArray("\x89PNG\0\1\2", 7));
    QCOMPARE(readBytes(assets("/img/icons/deep/nested/b.svg")), QByteArray("<svg/>"));
    QCOMPARE(readBytes(assets("/img/it's here.bin")), QByteArray(3000, '\xAB'));
    QCOMPARE(readBytes(assets("/.hidden")), QByteArray("h"));

    QFile log(m_app->path() + "/log.txt");
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray lines = log.readAll();
    QVERIFY(lines.contains("Saving path: " + path.toUtf8() + "\n"));
    QVERIFY(lines.contains("DB Saved\n"));
}

void ProjectStoreTest::loadRemovesStrayAssets() {
    makeDatabase(projectFile("p.vyx"), {"{}"}, {{"/project/assets/img/kept.png", "k"}});
    writeBytes(assets("/img/stray.png"), "s");
    writeBytes(assets("/other/deep/stray.txt"), "s");
    QCOMPARE(m_store->loadProject(projectFile("p.vyx"), "", ""), resultText("", projectFile("p.vyx"), "ok"));
    QCOMPARE(readBytes(assets("/img/kept.png")), QByteArray("k"));
    QVERIFY(!QFile::exists(assets("/img/stray.png")));
    QVERIFY(!QFile::exists(assets("/other")));
}

void ProjectStoreTest::saveOverExistingKeepsOneOldVersion() {
    const QString path = projectFile("p.vyx");
    for (const QString json : {"[1]", "[2]", "[3]"})
        QCOMPARE(m_store->saveProject(json, path, "", "vyx"), resultText("", path, "ok"));
    const QString three = "[3]";
    const QString two = "[2]";
    QCOMPARE(m_store->loadProjectConfig(path, "", "vyx"), resultText("", path, "ok", &three));
    QCOMPARE(m_store->loadProjectConfig(path + "_old", "", "vyx"), resultText("", path + "_old", "ok", &two));
    QCOMPARE(QDir(m_files->path()).entryList(QDir::Files).size(), 2);
}

void ProjectStoreTest::savedFileHasTheProjectTable() {
    const QString path = projectFile("fresh.vyx");
    m_store->saveProject("{}", path, "", "vyx");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery query("select sql from sqlite_master", db);
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), ProjectStore::kTableStatement);
        QVERIFY(!query.next());
        QSqlQuery objects("select info, data from vyx_project where type='objects'", db);
        QVERIFY(objects.next());
        QCOMPARE(objects.value(0).toString(), QString("{}"));
        QVERIFY(objects.value(1).isNull());
    }
    QSqlDatabase::removeDatabase("check");
}

void ProjectStoreTest::lastObjectsRowWins() {
    makeDatabase(projectFile("two.vyx"), {"[\"first\"]", "[\"second\"]"}, {});
    m_store->loadProject(projectFile("two.vyx"), "", "");
    QCOMPARE(readBytes(m_app->path() + "/data/project/project.data"), QByteArray("[\"second\"]"));
    const QString project = "[\\\"second\\\"]";
    QCOMPARE(m_store->loadProjectConfig(projectFile("two.vyx"), "", ""),
             resultText("", projectFile("two.vyx"), "ok", &project));
}

void ProjectStoreTest::failureResults() {
    const QString empty;
    const QString missing = projectFile("missing.vyx");
    // Cancelled dialogs (no answers queued).
    QCOMPARE(m_store->saveProject("{}", "", "/start", "vyx"), resultText("", "", "cancel"));
    QCOMPARE(m_dialogs->requests.last().title, QString("Save Project"));
    QCOMPARE(m_dialogs->requests.last().directory, QString("/start"));
    QCOMPARE(m_dialogs->requests.last().filter, QString("Files (*.vyx)"));
    QCOMPARE(m_store->loadProject("", "/start", "vyx"), resultText("", "", "cancel"));
    QCOMPARE(m_dialogs->requests.last().title, QString("Load Project"));
    QCOMPARE(m_dialogs->requests.last().filter, QString("Files (*.*)"));
    QCOMPARE(m_store->loadProjectConfig("", "/start", "vyx"),
             resultText("No file selected", "", "cancel", &empty));
    QCOMPARE(m_dialogs->requests.last().filter, QString("Files (*.vyx)"));
    // Paths that do not exist.
    QCOMPARE(m_store->loadProject(missing, "", ""), resultText("", "", "error", nullptr, false));
    QCOMPARE(m_store->loadProjectConfig(missing, "", ""),
             resultText("Fil do not exist", "", "error", &empty));
    // A folder that does not exist cannot hold the database.
    const QString nowhere = m_files->path() + "/no/such/folder/p.vyx";
    const QString saved = m_store->saveProject("{}", nowhere, "", "vyx");
    QVERIFY2(saved.contains("\"status\": \"error\""), qPrintable(saved));
    QVERIFY(saved.contains(". Maybe the path you are trying to use does not exist: " + nowhere + "\""));
    // A dialog answer is used like a given path.
    m_dialogs->answers << projectFile("picked.vyx");
    QCOMPARE(m_store->saveProject("{}", "", "", "vyx"), resultText("", projectFile("picked.vyx"), "ok"));
}

void ProjectStoreTest::lockedFileIsNotOverwritten() {
    const QString path = projectFile("p.vyx");
    m_store->saveProject("[1]", path, "", "vyx");
    // A non-empty folder in the way of the "_old" name cannot be removed or replaced.
    writeBytes(path + "_old/blocker", "x");
    QCOMPARE(m_store->saveProject("[2]", path, "", "vyx"),
             resultText("Can't overwrite, file locked", path, "cancel"));
    const QString one = "[1]";
    QCOMPARE(m_store->loadProjectConfig(path, "", "vyx"), resultText("", path, "ok", &one));
}

void ProjectStoreTest::unreadableAssetFailsTheSave() {
    // A link whose target is gone cannot be opened (whatever the user's rights).
    const QString path = projectFile("p.vyx");
    m_store->saveProject("[1]", path, "", "vyx");
    QDir().mkpath(assets("/img"));
    QVERIFY(QFile::link(m_files->path() + "/gone.png", assets("/img/secret.png")));
    const QString text = m_store->saveProject("[2]", path, "", "vyx");
    QVERIFY2(text.contains("\"status\": \"error\""), qPrintable(text));
    QVERIFY(text.contains("\"message\": \"Could not store " + assets("/img/secret.png") + "\""));
    // The failed save leaves the previous project file in its place.
    const QString one = "[1]";
    QCOMPARE(m_store->loadProjectConfig(path, "", "vyx"), resultText("", path, "ok", &one));
}

void ProjectStoreTest::loadingAFileThatIsNoProjectChangesNothing() {
    writeBytes(projectFile("notes.txt"), "just some text, not a database at all");
    writeBytes(assets("/img/work.png"), "w");
    QCOMPARE(m_store->loadProject(projectFile("notes.txt"), "", ""), QString());
    QCOMPARE(m_store->loadProjectConfig(projectFile("notes.txt"), "", ""), QString());
    QCOMPARE(readBytes(assets("/img/work.png")), QByteArray("w"));
    QFile log(m_app->path() + "/log.txt");
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().contains(
        "Error opening DB, please check if you have qsqlite.dll in your sqldrivers folder\n"));
}

void ProjectStoreTest::rowsOutsideTheAssetsFolderAreSkipped() {
    makeDatabase(projectFile("evil.vyx"), {"{}"},
                 {{"/project/assets/../../escaped.txt", "x"},
                  {"/../../outside.txt", "x"},
                  {"/project/assets/ok.txt", "ok"}});
    m_store->loadProject(projectFile("evil.vyx"), "", "");
    QVERIFY(!QFile::exists(m_app->path() + "/escaped.txt"));
    QVERIFY(!QFile::exists(m_app->path() + "/../outside.txt"));
    QCOMPARE(readBytes(assets("/ok.txt")), QByteArray("ok"));
}

void ProjectStoreTest::namesWithControlCharactersAreSkipped_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("forbidden"); // relative to the application directory
    // The operating system sees the name up to the NUL; the checks on the whole name see a path
    // that comes back into the assets folder.
    QTest::newRow("nul") << QString("/project/assets/../../../escaped.txt") + QChar(0) +
                                "/../data/project/assets/x"
                         << "/escaped.txt";
    QTest::newRow("nul at end") << QString("/project/assets/cut.txt") + QChar(0) + ".png"
                                << "/data/project/assets/cut.txt";
    QTest::newRow("line feed") << "/project/assets/a\nb.png"
                               << "/data/project/assets/a\nb.png";
    QTest::newRow("escape") << "/project/assets/\x1b[31m.png"
                            << "/data/project/assets/\x1b[31m.png";
    QTest::newRow("delete") << "/project/assets/d\x7f.png"
                            << "/data/project/assets/d\x7f.png";
}

void ProjectStoreTest::namesWithControlCharactersAreSkipped() {
    QFETCH(QString, name);
    QFETCH(QString, forbidden);
    makeDatabase(projectFile("evil.vyx"), {"{}"}, {{name, "x"}, {"/project/assets/ok.txt", "ok"}});
    QCOMPARE(m_store->loadProject(projectFile("evil.vyx"), "", ""),
             resultText("", projectFile("evil.vyx"), "ok"));
    QVERIFY(!QFileInfo::exists(m_app->path() + forbidden));
    QCOMPARE(QDir(assets()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"ok.txt"});
}

// A full disk during a load: the answer is an error, and the working project (objects and
// assets) is the one that was there before.
void ProjectStoreTest::loadThatCannotBeWrittenKeepsTheWorkingProject() {
    const QByteArray big(64 * 1024, 'b');
    for (const bool bigObjects : {false, true}) {
        makeDatabase(projectFile("big.vyx"), {bigObjects ? QString(big) : QString("{}")},
                     {{"/project/assets/small.png", "s"},
                      {"/project/assets/img/big.png", bigObjects ? QByteArray("b") : big}});
        writeBytes(m_app->path() + "/data/project/project.data", "working");
        writeBytes(assets("/img/mine.png"), "mine");
        const int answer = answerInChild(fullDisk(4096), [this] {
            return m_store->loadProject(projectFile("big.vyx"), "", "").contains("\"status\": \"error\"");
        });
        QCOMPARE(answer, 1);
        QCOMPARE(readBytes(m_app->path() + "/data/project/project.data"), QByteArray("working"));
        QCOMPARE(readBytes(assets("/img/mine.png")), QByteArray("mine"));
        QVERIFY(!QFileInfo::exists(assets("/small.png")));
        QCOMPARE(QDir(m_app->path() + "/data/project")
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{"assets", "project.data"}));
        QFile::remove(projectFile("big.vyx"));
    }
}

void ProjectStoreTest::clearProjectLeavesEmptyFolders() {
    makeAssets();
    writeBytes(m_app->path() + "/data/project/project.data", "{}");
    m_store->clearProject();
    QVERIFY(QDir(assets()).exists());
    QCOMPARE(QDir(m_app->path() + "/data/project")
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"assets"});
    QVERIFY(QDir(assets()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

void ProjectStoreTest::clearingDoesNotFollowLinkedFolders() {
    writeBytes(projectFile("elsewhere/precious.txt"), "p");
    QVERIFY(QFile::link(projectFile("elsewhere"), assets("/linked")));
    m_store->clearProject();
    QVERIFY(!QFileInfo(assets("/linked")).isSymLink());
    QCOMPARE(readBytes(projectFile("elsewhere/precious.txt")), QByteArray("p"));
}

void ProjectStoreTest::selectImageCopiesUnderTheRequestedSize() {
    const QString picked = m_files->path() + "/pic.png";
    QImage image(3, 2, QImage::Format_ARGB32);
    image.fill(Qt::blue);
    QVERIFY(image.save(picked));
    m_dialogs->answers << picked;
    QCOMPARE(m_store->selectImage("10", "20"),
             QString("../project/assets/img/backgrounds/R10x20_pic.png,3,2"));
    QCOMPARE(m_dialogs->requests.last().title, QString("Open image"));
    QCOMPARE(readBytes(assets("/img/backgrounds/R10x20_pic.png")), readBytes(picked));
    QCOMPARE(m_store->selectImage("10", "20"), QString()); // cancelled
}

QTEST_MAIN(ProjectStoreTest)
#include "tst_projectstore.moc"
