// The page's web storage on QtWebKit: in the program's own folder, the user's alone, and moved
// there once from where earlier versions kept it (the root of the data folder, which every
// QtWebKit program shares).
#include "pagetestsupport.h"
#include "webstorage.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

#include <sys/stat.h>

namespace {

int modeOf(const QString &path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

// A local storage database as QtWebKit writes it: values are UTF-16 text.
bool writeLocalStorage(const QString &path, const QString &key, const QString &value) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fixture"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            ok = q.exec(QStringLiteral("CREATE TABLE ItemTable (key TEXT UNIQUE ON CONFLICT REPLACE, "
                                       "value BLOB NOT NULL ON CONFLICT FAIL)")) &&
                 q.prepare(QStringLiteral("INSERT INTO ItemTable VALUES (?, ?)"));
            q.addBindValue(key);
            q.addBindValue(QByteArray(reinterpret_cast<const char *>(value.utf16()), value.size() * 2));
            ok = ok && q.exec();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fixture"));
    return ok;
}

} // namespace

class WebStorageTest : public QObject {
    Q_OBJECT

private slots:
    void theEarlierStorageIsMovedOnceIntoAPrivateFolder();
    void thePageFindsItsSavedSitesInTheNewPlace();
};

void WebStorageTest::theEarlierStorageIsMovedOnceIntoAPrivateFolder() {
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString earlier = home.filePath(QStringLiteral("LocalStorage/file__0.localstorage"));
    QVERIFY(writeLocalStorage(earlier, QStringLiteral("vyx.sites"), QStringLiteral("[\"Office\"]")));
    const QString root = WebStorage::prepareIn(home.path());
    QCOMPARE(root, home.filePath(QStringLiteral("vyxdesk/webkit")));
    const QString moved = root + QStringLiteral("/LocalStorage/file__0.localstorage");
    QVERIFY(!QFile::exists(earlier));
    QVERIFY(QFile::exists(moved));
    for (const QString &folder :
         {home.filePath(QStringLiteral("vyxdesk")), root, root + QStringLiteral("/LocalStorage")})
        QCOMPARE(modeOf(folder), 0700);
    QCOMPARE(modeOf(moved), 0600);

    // Once: a second earlier file (another QtWebKit program's, written later) stays where it is.
    QVERIFY(writeLocalStorage(earlier, QStringLiteral("other"), QStringLiteral("program")));
    const QByteArray before = [&] {
        QFile f(moved);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    WebStorage::prepareIn(home.path());
    QVERIFY(QFile::exists(earlier));
    QFile after(moved);
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), before);
}

void WebStorageTest::thePageFindsItsSavedSitesInTheNewPlace() {
    QTemporaryDir home;
    QVERIFY(home.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    QVERIFY(writeLocalStorage(home.filePath(QStringLiteral("LocalStorage/file__0.localstorage")),
                              QStringLiteral("vyx.sites"), QStringLiteral("[\"Office\"]")));

    QWidget parent;
    JS *js = new JS(&parent);
    QVERIFY(PageTest::waitForPage(*js));
    QCOMPARE(PageTest::eval(*js, QStringLiteral("localStorage.getItem('vyx.sites')")).toString(),
             QStringLiteral("[\"Office\"]"));
    QCOMPARE(modeOf(home.filePath(QStringLiteral("vyxdesk/webkit/LocalStorage/file__0.localstorage"))), 0600);
    // QtWebKit's icon database is not kept at all.
    QVERIFY(!QFile::exists(home.filePath(QStringLiteral("WebpageIcons.db"))));
    QVERIFY(!QFile::exists(home.filePath(QStringLiteral("vyxdesk/webkit/WebpageIcons.db"))));
}

QTEST_MAIN(WebStorageTest)
#include "tst_webstorage.moc"
