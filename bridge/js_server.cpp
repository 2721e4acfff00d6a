// The slots that talk to the server. Until the server connector is part of the bridge they
// answer as a bridge without a connection does: nothing is sent, nothing is stored, and the
// slots that return something return the "not connected" answer.
#include "js.h"

bool JS::VYXMessageSend(QString data, QString callback)
{
    Q_UNUSED(data);
    Q_UNUSED(callback);
    return false;
}

void JS::VYXMessageReceive(QString data) { Q_UNUSED(data); }

void JS::abortLoading() {}

QString JS::VYXIsConnected() { return QStringLiteral("false"); }

QString JS::VYXUpload(QString path, QString cb)
{
    Q_UNUSED(path);
    Q_UNUSED(cb);
    return QStringLiteral("Not Ready");
}

QString JS::VYXDownload(QString path, QString cb)
{
    Q_UNUSED(path);
    Q_UNUSED(cb);
    return QStringLiteral("Not Ready");
}

QString JS::VYXConnect(QString ip, QString port, QString user, QString password, QString cb)
{
    Q_UNUSED(ip);
    Q_UNUSED(port);
    Q_UNUSED(user);
    Q_UNUSED(password);
    Q_UNUSED(cb);
    return QString();
}

QString JS::VYXQueryParametersUID() { return QStringLiteral("true"); }

QString JS::VYXQueryParameterValue(int id)
{
    Q_UNUSED(id);
    return QStringLiteral("true");
}

QString JS::VYXDisconnect() { return QString(); }

void JS::VYXSetHeartBeatTimeOut(QString timeout) { Q_UNUSED(timeout); }

QString JS::VYXGetHeartBeatTimeOut() { return QStringLiteral("5000"); }

void JS::VYXStartKNXGateway() {}

void JS::VYXStopKNXGateway() {}

void JS::VYXConnectionReady() {}

void JS::VYXConnectionState(QString connectionType, QString connectionStateText, QString strMessage)
{
    Q_UNUSED(connectionType);
    Q_UNUSED(connectionStateText);
    Q_UNUSED(strMessage);
}

void JS::VYXAuthenticationResponse(int eState, QString message)
{
    Q_UNUSED(eState);
    Q_UNUSED(message);
}

void JS::uploadDone() {}

void JS::VYXInProgress(QString ss) { Q_UNUSED(ss); }

void JS::VYXUploadDownloadDone() {}

void JS::updateParameter(QJsonDocument json) { Q_UNUSED(json); }

void JS::sendParameterValue(QString uid, QString type, QString value)
{
    Q_UNUSED(uid);
    Q_UNUSED(type);
    Q_UNUSED(value);
}

void JS::VYXCreateFolder(QString destPath, QString feedback)
{
    Q_UNUSED(destPath);
    Q_UNUSED(feedback);
}

void JS::VYXCreateFolderDone(QString info) { Q_UNUSED(info); }

void JS::VYXDeleteFolder(QString destPath, QString feedback)
{
    Q_UNUSED(destPath);
    Q_UNUSED(feedback);
}

void JS::VYXDeleteFolderDone(QString info) { Q_UNUSED(info); }

void JS::VYXDeleteFile(QString destPath, QString feedback)
{
    Q_UNUSED(destPath);
    Q_UNUSED(feedback);
}

void JS::VYXDeleteFileDone(QString info) { Q_UNUSED(info); }

void JS::VYXFileCopied(QString info) { Q_UNUSED(info); }

void JS::VYXCreateFileDone(QString info) { Q_UNUSED(info); }

void JS::VYXFileVerified(QString info) { Q_UNUSED(info); }

void JS::VYXExecuteDone(QString info) { Q_UNUSED(info); }

void JS::VYXDatabaseMD5(QString callBack) { Q_UNUSED(callBack); }

void JS::VYXDatabaseMD5Done(QString info) { Q_UNUSED(info); }

void JS::VYXPluginExtracted(QString info) { Q_UNUSED(info); }

void JS::VYXPluginExtracted1(QString info) { Q_UNUSED(info); }

void JS::VYXPluginExtracted2(QString info) { Q_UNUSED(info); }

void JS::VYXPluginExtracted3(QString info) { Q_UNUSED(info); }

void JS::VYXManagerDebug(QString text) { Q_UNUSED(text); }

QString JS::VYXCopyFile(QString _hostFileName, QString _VYXfileName, QString callBack)
{
    Q_UNUSED(_hostFileName);
    Q_UNUSED(_VYXfileName);
    Q_UNUSED(callBack);
    return QString();
}

QString JS::VYXExecute(QString command, QString callBack)
{
    Q_UNUSED(command);
    Q_UNUSED(callBack);
    return QString();
}

QString JS::VYXInstallPlugin(QString pluginName, QString installPath, QString callBackStatus,
                             QString callBackComplete)
{
    Q_UNUSED(pluginName);
    Q_UNUSED(installPath);
    Q_UNUSED(callBackStatus);
    Q_UNUSED(callBackComplete);
    return QString();
}

void JS::VYXEnableBusDebug(QString enable) { Q_UNUSED(enable); }

void JS::VYXZephronCommand(QString command) { Q_UNUSED(command); }

void JS::VYXZephronMessage(QString message) { Q_UNUSED(message); }

void JS::VYXGuardian(QString info, QString callback)
{
    Q_UNUSED(info);
    Q_UNUSED(callback);
}

void JS::VYXGuardianDone(QString info) { Q_UNUSED(info); }

void JS::VYXConsole(QString command, QString callback)
{
    Q_UNUSED(command);
    Q_UNUSED(callback);
}

void JS::VYXConsoleDone(QString info) { Q_UNUSED(info); }
