// The page's local services: files and dialogs, the project file, web access and ETS archives.
// Each slot hands its arguments to the service that does the work.
#include "js.h"

#include "etsarchive.h"
#include "etsimport.h"
#include "webhelpers.h"

#include <QNetworkReply>
#include <QWebFrame>

bool JS::writeFileAbsoluteFromBase64(QString filename, QString text) {
    return localFiles.writeFileAbsoluteFromBase64(filename, text);
}

void JS::WEBGet(QString url, QString callback) {
    webHelpers->WEBGet(url, callback);
}

// Replies are handled inside the web helpers; nothing is connected to these two.
void JS::WEBReceived(QNetworkReply *reply) {
    Q_UNUSED(reply);
}
void JS::fileDownloaded(QNetworkReply *pReply) {
    Q_UNUSED(pReply);
}

void JS::WEBPost(QString url, QString parameters, QString callBack) {
    webHelpers->WEBPost(url, parameters, callBack);
}

void JS::openBrowser(QString url) {
    WebHelpers::openBrowser(url);
}

void JS::OpenBrowserPage(QString url) {
    WebHelpers::openBrowser(url);
}

void JS::choosePath() {
    evaluateNow(localFiles.choosePathScript());
}

bool JS::fileCopy(QString source, QString dest) {
    return localFiles.fileCopy(source, dest);
}

QString JS::fileCopyAbsolute(QString source, QString dest) {
    return localFiles.fileCopyAbsolute(source, dest);
}

bool JS::selectFileToCopyInVYXManager(QString destinationPath, QString title, QString ext) {
    return localFiles.selectFileToCopyInVYXManager(destinationPath, title, ext);
}

QString JS::copyAbsoluteFileInVYXManager(QString sourceFile, QString localDestinationPath) {
    return localFiles.copyAbsoluteFileInVYXManager(sourceFile, localDestinationPath);
}

QString JS::imageFileInfo(QString fname) {
    return localFiles.imageFileInfo(fname);
}

void JS::deleteFile(QString filename) {
    localFiles.deleteFile(filename);
}

QString JS::loadProject(QString path, QString folderPath, QString extension) {
    return projectStore.loadProject(path, folderPath, extension);
}

void JS::clearProject() {
    projectStore.clearProject();
}

QString JS::loadProjectConfig(QString path, QString folderPath, QString extension) {
    return projectStore.loadProjectConfig(path, folderPath, extension);
}

QString JS::saveProject(QString json, QString savePath, QString folderPath, QString extension) {
    return projectStore.saveProject(json, savePath, folderPath, extension);
}

QString JS::readFile(QString filename) {
    return localFiles.readFile(filename);
}

QString JS::readAnyFile(QString extensions) {
    return localFiles.readAnyFile(extensions);
}

bool JS::writeFile(QString filename, QString text) {
    return localFiles.writeFile(filename, text);
}

bool JS::writeFileAbsolute(QString filename, QString text) {
    return localFiles.writeFileAbsolute(filename, text);
}

QString JS::selectImage(QString width, QString height) {
    return projectStore.selectImage(width, height);
}

QString JS::fileList(QString path) {
    return localFiles.fileList(path);
}

QString JS::folderList(QString path) {
    return localFiles.folderList(path);
}

QString JS::selectFolder(QString title) {
    return localFiles.selectFolder(title);
}

bool JS::saveFile(QString title, QString folderPath, QString ext, QString text) {
    return localFiles.saveFile(title, folderPath, ext, text);
}

QString JS::getSaveFileName(QString title, QString folderPath, QString ext) {
    return localFiles.getSaveFileName(title, folderPath, ext);
}

QString JS::getOpenFileName(QString title, QString folderPath, QString ext) {
    return localFiles.getOpenFileName(title, folderPath, ext);
}

QString JS::downloadFile(QString url, QString length, QString destPath, QString feedback) {
    return webHelpers->downloadFile(url, length, destPath, feedback);
}

QString JS::getStoragePath() {
    return LocalFiles::getStoragePath();
}

QString JS::getTempPath() {
    return LocalFiles::getTempPath();
}

QString JS::MD5(QString Path) {
    return LocalFiles::MD5(Path);
}

void JS::SetWorkingPath(QString path) {
    LocalFiles::SetWorkingPath(path);
}

QString JS::readAbsoluteFile(QString filename) {
    return localFiles.readAbsoluteFile(filename);
}

void JS::downloadProgress(qlonglong bytesReceived, qlonglong bytesTotal) {
    webHelpers->downloadProgress(bytesReceived, bytesTotal);
}

QString JS::isNalrioOnline() {
    return webHelpers->isNalrioOnline();
}

QString JS::ETSProject_readFile(QString projectPath, QString filePath) {
    return EtsArchive::readFile(projectPath, filePath);
}

QString JS::readWEBPage(QString url_string) {
    return webHelpers->readWEBPage(url_string);
}

QString JS::ETSProject_fileList(QString projectPath) {
    return EtsArchive::fileList(projectPath);
}

QString JS::ETSProject_import(QString projectPath, QString password, QString progressCallback,
                              QString doneCallback) {
    if (!etsImport) {
        etsImport = new EtsImport(this);
        connect(etsImport, &EtsImport::progress, this, [this](const QString &json) {
            if (!etsProgressCallback.isEmpty())
                queueStringCall(etsProgressCallback, json);
        });
        connect(etsImport, &EtsImport::finished, this, [this](const QString &json) {
            if (!etsDoneCallback.isEmpty())
                queueStringCall(etsDoneCallback, json);
        });
    }
    etsProgressCallback = progressCallback;
    etsDoneCallback = doneCallback;
    etsImport->start(projectPath, password);
    return QStringLiteral("started");
}

void JS::ETSProject_cancelImport() {
    if (etsImport)
        etsImport->cancel();
}

void JS::deleteAbsoluteFile(QString filename) {
    localFiles.deleteAbsoluteFile(filename);
}

QString JS::encodeAccount(QString accountText) {
    return LocalFiles::encodeAccount(accountText);
}

bool JS::writeFileAbsoluteFromImageData(QString filename, QString text) {
    return localFiles.writeFileAbsoluteFromImageData(filename, text);
}

QString JS::MD5file(QString filename) {
    return LocalFiles::MD5file(filename);
}

bool JS::writeFileAbsoluteFromHEXString(QString filename, QString text) {
    return localFiles.writeFileAbsoluteFromHEXString(filename, text);
}
