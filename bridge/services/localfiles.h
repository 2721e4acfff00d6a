#pragma once

#include "operationlog.h"

#include <QString>

#include <functional>

class FileDialogs;

// The page's access to local files: reading and writing text and binary files, copies,
// listings, the file and folder dialogs, checksums and the account encoding. Paths are
// HTML-relative (under appDir/data/html/), absolute, or application-relative (appDir + path),
// as each method says. Nothing here throws; failures answer "", false or "-1".
class LocalFiles {
public:
    // Listings stop after this many entries (one more than the page expects to show).
    static constexpr int kListLimit = 201;
    // Pictures built from numbers are refused beyond this many pixels.
    static constexpr qint64 kMaxImagePixels = 64LL * 1024 * 1024;

    // `dialogs` must outlive the object.
    LocalFiles(const QString &appDir, FileDialogs *dialogs, const OperationLog &log = OperationLog());

    QString readFile(const QString &filename) const; // HTML-relative
    QString readAbsoluteFile(const QString &filename) const;
    QString readAnyFile(const QString &extensions);                     // dialog
    bool writeFile(const QString &filename, const QString &text) const; // HTML-relative
    bool writeFileAbsolute(const QString &filename, const QString &text) const;
    bool writeFileAbsoluteFromBase64(const QString &filename, const QString &text) const;
    bool writeFileAbsoluteFromHEXString(const QString &filename, const QString &text) const;
    bool writeFileAbsoluteFromImageData(const QString &filename, const QString &text) const;
    void deleteFile(const QString &filename) const; // HTML-relative
    void deleteAbsoluteFile(const QString &filename) const;
    bool fileCopy(const QString &source, const QString &dest) const; // HTML-relative
    QString fileCopyAbsolute(const QString &source, const QString &dest) const;
    QString copyAbsoluteFileInVYXManager(const QString &sourceFile,
                                         const QString &localDestinationPath) const;
    bool selectFileToCopyInVYXManager(const QString &destinationPath, const QString &title,
                                      const QString &ext);
    QString fileList(const QString &path) const;
    QString folderList(const QString &path) const;
    QString getOpenFileName(const QString &title, const QString &folderPath, const QString &ext);
    QString getSaveFileName(const QString &title, const QString &folderPath, const QString &ext);
    bool saveFile(const QString &title, const QString &folderPath, const QString &ext, const QString &text);
    QString selectFolder(const QString &title);
    // Asks for a project folder and returns the script to evaluate synchronously in the page:
    // "window.desktopApp.projectFolder('FOLDER');" with the folder as an escaped literal.
    QString choosePathScript();
    static QString getStoragePath();
    static QString getTempPath();
    static void SetWorkingPath(const QString &path);
    QString imageFileInfo(const QString &fname) const;
    static QString MD5(const QString &path);         // lower-case hex, "" when unreadable
    static QString MD5file(const QString &filename); // upper-case hex, "" when unreadable
    // Lower-case hex, told the bytes hashed after each piece; "" when unreadable or stopped by
    // `watch`. For hashing off the GUI thread.
    using Md5Watch = std::function<bool(quint64 bytesDone)>;
    static QString MD5Watched(const QString &path, const Md5Watch &watch);
    static QString encodeAccount(const QString &accountText);

private:
    QString htmlPath(const QString &relative) const;
    QString listing(const QString &path, int filters) const;

    QString m_appDir;
    FileDialogs *m_dialogs;
    OperationLog m_log;
};
