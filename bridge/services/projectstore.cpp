#include "projectstore.h"
#include "bridgelog.h"

#include "filedialogs.h"
#include "textfile.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const char kOpenErrorLog[] =
    "Error opening DB, please check if you have qsqlite.dll in your sqldrivers folder";

QString tr(const char *text) {
    return QCoreApplication::translate("ProjectStore", text);
}

QString resultText(const QJsonObject &result) {
    return QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Indented));
}

QJsonObject result(const QString &status, const QString &message, const QString &path) {
    QJsonObject object;
    object.insert(QStringLiteral("status"), status);
    object.insert(QStringLiteral("message"), message);
    object.insert(QStringLiteral("path"), path);
    object.insert(QStringLiteral("name"), path.isEmpty() ? QString() : QFileInfo(path).fileName());
    return object;
}

// Entries of a folder as the walks see them: hidden and system ones too, folders first.
QFileInfoList folderEntries(const QString &path) {
    return QDir(path).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                    QDir::DirsFirst);
}

// True when `path` lies strictly inside `folder` once both are cleaned.
bool isInside(const QString &path, const QString &folder) {
    const QString cleanFolder = QDir::cleanPath(folder) + QLatin1Char('/');
    return QDir::cleanPath(path).startsWith(cleanFolder);
}

// Asset names come from someone else's file. A NUL would end the name the operating system sees
// before the part that the checks saw, and other control characters have no place in a name.
bool hasControlCharacter(const QString &name) {
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

} // namespace

const QString ProjectStore::kTableStatement =
    QStringLiteral("CREATE TABLE 'vyx_project' ('type' text,'info'  TEXT,'data'  blob )");

ProjectStore::ProjectStore(const QString &appDir, FileDialogs *dialogs, const OperationLog &log)
    : m_appDir(QDir::cleanPath(QDir(appDir).absolutePath())), m_dialogs(dialogs), m_log(log) {}

QString ProjectStore::dataDir() const {
    return m_appDir + QStringLiteral("/data");
}
QString ProjectStore::projectDir() const {
    return dataDir() + QStringLiteral("/project");
}
QString ProjectStore::assetsDir() const {
    return projectDir() + QStringLiteral("/assets");
}

QString ProjectStore::saveProject(const QString &json, const QString &savePath, const QString &folderPath,
                                  const QString &extension) {
    qCDebug(lcBridge) << "Lunghezza file: " << json.length();
    qCDebug(lcBridge) << "savePath      : " << savePath;
    qCDebug(lcBridge) << "folderPath    : " << folderPath;

    QString status;
    const QString name = chooseSaveName(savePath, folderPath, extension, status);
    qCDebug(lcBridge) << "Save file name:" << name;
    QString message;
    if (status == QLatin1String("ok")) {
        m_log.append(QStringLiteral("tmp path in save: ") + m_appDir + QStringLiteral("/data/"));
        m_log.append(QStringLiteral("Saving path: ") + name);
        const bool existed = QFile::exists(name);
        if (!moveAside(name)) {
            status = QStringLiteral("cancel");
            message = QStringLiteral("Can't overwrite, file locked");
        } else if (!writeDatabase(name, json, message)) {
            status = QStringLiteral("error");
            // The half-written file goes; the previous version takes its name back.
            QFile::remove(name);
            if (existed)
                QFile::rename(name + QStringLiteral("_old"), name);
        } else if (!QDir(dataDir()).exists()) {
            QDir().mkpath(dataDir());
            m_log.append(QStringLiteral("Dir Created"));
        }
    }
    return resultText(result(status, message, name));
}

QString ProjectStore::chooseSaveName(const QString &savePath, const QString &folderPath,
                                     const QString &extension, QString &status) {
    if (!savePath.isEmpty()) {
        status = QStringLiteral("ok");
        return savePath;
    }
    const QString name =
        m_dialogs->saveFileName(tr("Save Project"), folderPath, tr("Files (*.%1)").arg(extension));
    status = name.isEmpty() ? QStringLiteral("cancel") : QStringLiteral("ok");
    if (!name.isEmpty())
        m_log.append(QStringLiteral("Saving... ") + name);
    return name;
}

// Keeps the previous version of the file as name + "_old".
bool ProjectStore::moveAside(const QString &name) {
    if (!QFile::exists(name))
        return true;
    m_log.append(QStringLiteral("Removing: ") + name);
    const QString old = name + QStringLiteral("_old");
    QFile::remove(old);
    if (QFile::rename(name, old)) {
        m_log.append(QStringLiteral("Removing: success"));
        return true;
    }
    m_log.append(QStringLiteral("Removing: Can't overwrite, file locked"));
    return false;
}

// Registers the default connection afresh for `name` (replacing the previous registration
// quietly: no handle to it is left open between operations).
QSqlDatabase ProjectStore::registerDefaultConnection(const QString &name) {
    if (QSqlDatabase::contains(QLatin1String(QSqlDatabase::defaultConnection)))
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(name);
    return db;
}

bool ProjectStore::writeDatabase(const QString &name, const QString &json, QString &message) {
    QSqlDatabase db = registerDefaultConnection(name);
    qCDebug(lcBridge) << "setDatabaseName    : " << name;
    if (!db.open()) {
        message = db.lastError().text() +
                  QStringLiteral(". Maybe the path you are trying to use does not exist: ") + name;
        m_log.append(QString::fromLatin1(kOpenErrorLog));
        return false;
    }
    bool ok = db.transaction();
    {
        QSqlQuery create(db);
        ok = create.exec(kTableStatement) && ok;
        m_log.append(QStringLiteral("1"));
        QSqlQuery insert(db);
        insert.prepare(QStringLiteral("insert into vyx_project (type,info) values ('objects',:json)"));
        insert.bindValue(QStringLiteral(":json"), json);
        ok = insert.exec() && ok;
        m_log.append(QStringLiteral("1"));
        QString failedPath;
        if (ok && !storeAssets(db, assetsDir(), failedPath)) {
            ok = false;
            message = QStringLiteral("Could not store ") + failedPath;
        }
    }
    // A project file without all of its pictures is worse than no new file: report the save as
    // failed instead of claiming success.
    if (ok)
        ok = db.commit();
    else
        db.rollback();
    if (!ok && message.isEmpty())
        message = db.lastError().text();
    db.close();
    m_log.append(QStringLiteral("DB Saved"));
    return ok;
}

bool ProjectStore::storeAssets(QSqlDatabase &db, const QString &folder, QString &failedPath) {
    if (!QDir(folder).exists())
        return true;
    const QString prefix = dataDir();
    for (const QFileInfo &entry : folderEntries(folder)) {
        if (entry.isDir()) {
            // A linked folder could point back up the tree; the walk does not follow links.
            if (entry.isSymLink())
                continue;
            if (!storeAssets(db, entry.absoluteFilePath(), failedPath))
                return false;
            continue;
        }
        QFile file(entry.absoluteFilePath());
        if (!file.open(QIODevice::ReadOnly)) {
            failedPath = entry.absoluteFilePath();
            return false;
        }
        QString info = entry.absoluteFilePath().mid(prefix.length());
        info.replace(QLatin1Char('\''), QStringLiteral("''"));
        QSqlQuery insert(db);
        insert.prepare(QStringLiteral("INSERT INTO vyx_project (type,info,data) VALUES ('image','") + info +
                       QStringLiteral("',?)"));
        insert.addBindValue(file.readAll());
        if (!insert.exec()) {
            failedPath = entry.absoluteFilePath();
            return false;
        }
    }
    return true;
}

bool ProjectStore::openProjectFile(QSqlDatabase &db, const QString &name) {
    db = registerDefaultConnection(name);
    // SQLite opens any file lazily; a file without the project table is not a project and must
    // not get the chance to wipe the working folder.
    if (db.open() && db.tables().contains(QStringLiteral("vyx_project")))
        return true;
    db.close();
    m_log.append(QString::fromLatin1(kOpenErrorLog));
    return false;
}

QString ProjectStore::loadProject(const QString &path, const QString &folderPath, const QString &extension) {
    Q_UNUSED(extension);
    QString name = path;
    if (path.isEmpty()) {
        name = m_dialogs->openFileName(tr("Load Project"), folderPath, tr("Files (*.*)"));
    } else if (!QFile::exists(path)) {
        QJsonObject missing = result(QStringLiteral("error"), QString(), QString());
        missing.remove(QStringLiteral("message"));
        return resultText(missing);
    }
    QString status = QStringLiteral("cancel");
    QString message;
    if (!name.isEmpty()) {
        status = QStringLiteral("ok");
        QSqlDatabase db;
        if (!openProjectFile(db, name))
            return QString();
        QString failedPath;
        if (!restoreProject(db, failedPath)) {
            status = QStringLiteral("error");
            message = QStringLiteral("Could not restore ") + failedPath;
        }
        db.close();
    }
    const QString text = resultText(result(status, message, name));
    qCDebug(lcBridge).noquote() << text;
    return text;
}

// The new assets are unpacked into a staging folder first; the working folder changes only when
// every file of the project could be written, so a full disk or a broken project file leaves
// the previous project as it was.
bool ProjectStore::restoreProject(QSqlDatabase &db, QString &failedPath) {
    const QString staging = projectDir() + QStringLiteral("/assets.loading");
    removeFolder(staging);
    if (!QDir().mkpath(staging)) {
        failedPath = staging;
        return false;
    }
    const bool restored = restoreAssets(db, staging, failedPath) && restoreObjects(db, failedPath);
    if (!restored || !swapAssets(staging)) {
        if (restored)
            failedPath = assetsDir();
        removeFolder(staging);
        return false;
    }
    return true;
}

bool ProjectStore::restoreObjects(QSqlDatabase &db, QString &failedPath) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.exec(QStringLiteral("select * from vyx_project where type='objects' "));
    bool any = false;
    QString objects;
    while (query.next()) {
        objects = query.value(QStringLiteral("info")).toString();
        any = true;
    }
    if (!any)
        return true;
    // The last row wins, as if each had been written in turn.
    const QString target = projectDir() + QStringLiteral("/project.data");
    QDir().mkpath(projectDir());
    if (TextFile::write(target, objects))
        return true;
    failedPath = target;
    return false;
}

bool ProjectStore::restoreAssets(QSqlDatabase &db, const QString &staging, QString &failedPath) {
    const QString stagingRoot = QFileInfo(staging).canonicalFilePath() + QLatin1Char('/');
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.exec(QStringLiteral("select * from vyx_project where type='image' "));
    while (query.next()) {
        const QString info = query.value(QStringLiteral("info")).toString();
        const QString target = QDir::cleanPath(dataDir() + info);
        // The names come from the file: one with ".." or a control character must not write
        // outside the assets folder.
        if (hasControlCharacter(info) || !isInside(target, assetsDir())) {
            qCWarning(lcBridge) << "Skipping project entry outside the assets folder:" << info.toUtf8();
            continue;
        }
        const QString staged = staging + target.mid(assetsDir().length());
        const QString folder = QFileInfo(staged).absolutePath();
        QDir().mkpath(folder);
        // Checked again once the folders exist, on the path the operating system resolves.
        const QString resolved = QFileInfo(folder).canonicalFilePath() + QLatin1Char('/');
        if (!resolved.startsWith(stagingRoot)) {
            qCWarning(lcBridge) << "Skipping project entry outside the assets folder:" << info;
            continue;
        }
        if (!TextFile::writeBytes(staged, query.value(QStringLiteral("data")).toByteArray())) {
            failedPath = target;
            return false;
        }
    }
    return true;
}

// Puts the staged assets in place of the working ones; the old ones are removed only once the
// new ones carry the name.
bool ProjectStore::swapAssets(const QString &staging) {
    const QString old = projectDir() + QStringLiteral("/assets.old");
    removeFolder(old);
    const bool hadAssets = QFileInfo::exists(assetsDir());
    if (hadAssets && !QDir().rename(assetsDir(), old))
        return false;
    if (!QDir().rename(staging, assetsDir())) {
        if (hadAssets)
            QDir().rename(old, assetsDir());
        return false;
    }
    removeFolder(old);
    return true;
}

QString ProjectStore::loadProjectConfig(const QString &path, const QString &folderPath,
                                        const QString &extension) {
    QString name = path;
    if (path.isEmpty()) {
        name = m_dialogs->openFileName(tr("Load Project"), folderPath, tr("Files (*.%1)").arg(extension));
    } else if (!QFile::exists(path)) {
        QJsonObject missing = result(QStringLiteral("error"), QStringLiteral("Fil do not exist"), QString());
        missing.insert(QStringLiteral("project"), QString());
        return resultText(missing);
    }
    QJsonObject answer;
    if (name.isEmpty()) {
        answer = result(QStringLiteral("cancel"), QStringLiteral("No file selected"), QString());
        answer.insert(QStringLiteral("project"), QString());
        return resultText(answer);
    }
    QSqlDatabase db;
    if (!openProjectFile(db, name))
        return QString();
    QString project;
    {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        query.exec(QStringLiteral("select * from vyx_project where type='objects' "));
        while (query.next())
            project = query.value(QStringLiteral("info")).toString();
    }
    db.close();
    answer = result(QStringLiteral("ok"), QString(), name);
    answer.insert(QStringLiteral("project"), project);
    return resultText(answer);
}

void ProjectStore::clearProject() {
    removeFolder(projectDir());
    QDir().mkpath(projectDir());
    QDir().mkpath(assetsDir());
}

bool ProjectStore::removeFolder(const QString &path) {
    QDir dir(path);
    if (!dir.exists())
        return false;
    for (const QFileInfo &entry : folderEntries(path)) {
        const bool removed = entry.isDir() && !entry.isSymLink() ? removeFolder(entry.absoluteFilePath())
                                                                 : QFile::remove(entry.absoluteFilePath());
        if (!removed)
            return false;
    }
    return QDir().rmdir(path);
}

QString ProjectStore::selectImage(const QString &width, const QString &height) {
    qCDebug(lcBridge) << "Width/Height :" << width << " " << height;
    const QString picked = m_dialogs->openFileName(
        tr("Open image"), QString(),
        tr("Images (*.png *.jpg *.bmp *.tiff *.gif *.ppm *.xbm *.xpm *.pgm *.jpeg )"));
    if (picked.isEmpty())
        return QString();
    const QImage image(picked);
    const QString backgrounds = assetsDir() + QStringLiteral("/img/backgrounds");
    QDir().mkpath(backgrounds);
    const QString newName = QStringLiteral("R") + width + QLatin1Char('x') + height + QLatin1Char('_') +
                            QFileInfo(picked).fileName();
    const QString target = backgrounds + QLatin1Char('/') + newName;
    TextFile::copy(picked, target);
    const QString relative = QStringLiteral("../project/assets/img/backgrounds/") + newName;
    qCDebug(lcBridge) << "Path relativo :" << relative << image.width() << image.height();
    return relative + QLatin1Char(',') + QString::number(image.width()) + QLatin1Char(',') +
           QString::number(image.height());
}
