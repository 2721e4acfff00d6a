#pragma once

#include "operationlog.h"

#include <QString>

class FileDialogs;
class QSqlDatabase;

// The project file: one SQLite database with the table vyx_project holding the objects JSON
// and every file under the working folder data/project/assets/ of the application directory.
// Saving packs the working folder into a file, loading unpacks a file into it.
class ProjectStore {
public:
    // `appDir`: the application directory (the working folder is appDir/data/project).
    // `dialogs` must outlive the store.
    ProjectStore(const QString &appDir, FileDialogs *dialogs, const OperationLog &log = OperationLog());

    // Each returns the indented JSON result text ("message", "name", "path", ["project"], "status").
    QString saveProject(const QString &json, const QString &savePath, const QString &folderPath,
                        const QString &extension);
    // "" when the file cannot be opened as a project file.
    QString loadProject(const QString &path, const QString &folderPath, const QString &extension);
    QString loadProjectConfig(const QString &path, const QString &folderPath, const QString &extension);
    void clearProject();
    // "relative path,width,height" of the imported background, or "" when cancelled.
    QString selectImage(const QString &width, const QString &height);

    // Deletes `path` with everything in it; true when the folder is gone.
    static bool removeFolder(const QString &path);

    static const QString kTableStatement;

private:
    QString dataDir() const;
    QString projectDir() const;
    QString assetsDir() const;
    QString chooseSaveName(const QString &savePath, const QString &folderPath, const QString &extension,
                           QString &status);
    bool moveAside(const QString &name);
    static QSqlDatabase registerDefaultConnection(const QString &name);
    bool writeDatabase(const QString &name, const QString &json, QString &message);
    bool storeAssets(QSqlDatabase &db, const QString &folder, QString &failedPath);
    bool openProjectFile(QSqlDatabase &db, const QString &name);
    bool restoreProject(QSqlDatabase &db, QString &failedPath);
    bool restoreObjects(QSqlDatabase &db, QString &failedPath);
    bool restoreAssets(QSqlDatabase &db, const QString &staging, QString &failedPath);
    bool swapAssets(const QString &staging);

    QString m_appDir;
    FileDialogs *m_dialogs;
    OperationLog m_log;
};
