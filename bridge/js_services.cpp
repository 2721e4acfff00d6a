// The page's local services: files and dialogs, the project file, web access and ETS archives.
// Each slot hands its arguments to the service that does the work.
#include "js.h"

#include "etsarchive.h"
#include "etsimport.h"
#include "webhelpers.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QWebFrame>

namespace {

QString compactJson(const QJsonObject &object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

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

void JS::MD5Async(QString path, QString progressCallback, QString callback) {
    WorkRunner::Handlers handlers;
    handlers.done = [this, callback](const QString &json) { queueExpressionCall(callback, json); };
    if (!progressCallback.isEmpty())
        handlers.progress = [this, progressCallback](const QString &json) {
            queueExpressionCall(progressCallback, json);
        };
    localWork.start(
        QStringLiteral("md5:") + callback,
        [path](WorkRunner::Job &job) {
            const double size = double(QFileInfo(path).size());
            const QString md5 = LocalFiles::MD5Watched(path, [&job, size](uint64_t bytes) {
                job.progress(
                    compactJson({{QStringLiteral("bytes"), double(bytes)}, {QStringLiteral("size"), size}}));
                return !job.cancelled();
            });
            if (md5.isEmpty())
                return compactJson(
                    {{QStringLiteral("error"),
                      QStringLiteral("The file %1 could not be read to compute its MD5.").arg(path)}});
            return compactJson({{QStringLiteral("md5"), md5}, {QStringLiteral("size"), size}});
        },
        handlers);
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

void JS::ETSProject_readFileAsync(QString projectPath, QString filePath, QString callback) {
    WorkRunner::Handlers handlers;
    handlers.done = [this, callback](const QString &text) { queueStringCall(callback, text); };
    localWork.start(
        QStringLiteral("ets-read:") + callback,
        [projectPath, filePath](WorkRunner::Job &job) {
            return EtsArchive::readFile(projectPath, filePath, EtsArchive::kMaxEntryBytes, job.cancelFlag());
        },
        handlers);
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
