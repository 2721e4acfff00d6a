#pragma once

#include <QMap>
#include <QObject>
#include <QStringList>

class QWebFrame;

// Stands in for the manager's bridge in page tests: the slots the workbench calls, answering with
// fixed sample data. Late answers are evaluated in the page from the event loop, as the real page
// call queue does. Every callback name the page hands over is checked to name a function.
class StubDesk : public QObject {
    Q_OBJECT
public:
    explicit StubDesk(QWebFrame *frame, QObject *parent = nullptr);

    const QStringList &calls() const { return m_calls; }
    const QStringList &problems() const { return m_problems; }
    // The project file the next "Open…" reads (JSON text); until set, Open is cancelled and the
    // working project is the demo house.
    void setProjectFile(const QString &json) { m_projectFile = json; }
    // How the next fleet probes answer, one entry per probe (after that: every site reachable at
    // once): after `delayMs`, each site reachable or not for `reason` ("{host}" in it: the site's).
    struct ProbePlan {
        int delayMs;
        bool reachable;
        QString reason;
    };
    void planProbes(const QList<ProbePlan> &plans) { m_probePlans = plans; }
    // While held, a plug-in install's copy reports nothing (a copy that has not started yet);
    // releasing sends what was held.
    void holdPluginCopy(bool hold);

public slots:
    QString getQTRelease();
    QString applicationPath();
    QString getStoragePath();
    QString getTempPath();
    QString VYXGetHeartBeatTimeOut();
    QString VYXIsConnected();
    QString VYXStartupConnection();
    QString VYXServerVersion();
    QString VYXReadyGeneration();
    void discover(QString cb);
    QString VYXConnect(QString ip, QString port, QString user, QString password, QString cb);
    QString VYXDisconnect();
    QString VYXQueryParametersUID();
    QString VYXQueryParameterValue(int id);
    void sendParameterValue(QString uid, QString type, QString value);
    QString VYXDownload(QString path, QString cb);
    QString VYXUpload(QString path, QString cb);
    void VYXDatabaseMD5(QString callBack);
    QString MD5(QString path);
    QString getOpenFileName(QString title, QString folderPath, QString ext);
    QString getSaveFileName(QString title, QString folderPath, QString ext);
    bool writeFileAbsolute(QString filename, QString text);
    QString readFile(QString filename);
    bool writeFile(QString filename, QString text);
    void clearProject();
    QString saveProject(QString json, QString savePath, QString folderPath, QString extension);
    QString loadProject(QString path, QString folderPath, QString extension);
    QString selectImage(QString width, QString height);
    void VYXCreateFolder(QString destPath, QString feedback);
    void VYXDeleteFolder(QString destPath, QString feedback);
    void VYXDeleteFile(QString destPath, QString feedback);
    QString VYXCopyFile(QString hostFileName, QString serverFileName, QString callBack);
    QString VYXInstallPlugin(QString pluginName, QString installPath, QString callBackStatus,
                             QString callBackComplete);
    void VYXPluginExtracted(QString info);
    void VYXConsole(QString command, QString callback);
    void VYXGuardian(QString info, QString callback);
    void VYXStartKNXGateway();
    void VYXStopKNXGateway();
    void VYXZephronCommand(QString command);
    void VYXEnableBusDebug(QString enable);
    void LogWindow(QString id, QString type);
    bool VYXMessageSend(QString data, QString callback);
    QString ETSProject_fileList(QString projectPath);
    QString ETSProject_readFile(QString projectPath, QString filePath);
    QString ETSProject_import(QString projectPath, QString password, QString progressCallback,
                              QString doneCallback);
    void journalWatch(QString callback);
    void journalSetSite(QString name);
    QString journalEntries(QString filterJson);
    QString journalExport(QString format, QString filterJson, QString path);
    void VYXStopTransfer();
    void VYXStartLogic(QString callback);
    void VYXCancelCopy();
    QString vaultList(QString host, QString port);
    void vaultOverview(QString sitesJson, QString callback);
    QString vaultPartPath(QString host, QString port);
    bool vaultDiscard(QString part);
    void vaultAdd(QString requestJson, QString callback);
    void vaultPrune(QString host, QString port, int keep, QString callback);
    void fleetProbe(QString sitesJson, QString callback);
    bool fleetBackup(QString requestJson, QString callback);
    void MD5Async(QString path, QString progressCallback, QString callback);
    // A keyring in memory.
    void keyringStatus(QString callback);
    void rememberPassword(QString site, QString password, QString callback);
    void rememberedPassword(QString site, QString callback);
    void forgetPassword(QString site, QString callback);
    QString VYXConnectThroughTunnel(QString ip, QString port, QString user, QString password, QString tunnel,
                                    QString cb);

private:
    QMap<QString, QString> m_keyring;
    void record(const QString &call);
    QString listing(const QString &quotedPath) const;
    void checkCallback(const QString &name);
    void later(const QString &script, int delayMs = 0);
    void pushParameter(const QString &id, const QString &value, const QString &scope, int delayMs);

    QWebFrame *m_frame;
    QStringList m_calls;
    QStringList m_problems;
    bool m_connected = false;
    quint64 m_generation = 0;
    int m_probeGeneration = 0;
    QList<ProbePlan> m_probePlans;
    QString m_operationCallback;
    QString m_copyCallback;
    QString m_projectFile;
    bool m_projectOpened = false;
    QString m_transferCallback;
    bool m_holdPluginCopy = false;
    bool m_pluginCopyHeld = false;
    void reportPluginCopy();
};
