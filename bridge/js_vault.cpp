// Bridge slots of the backup vault and the fleet: thin, the work is VaultDesk's.
#include "js.h"

#include <QJsonDocument>
#include <QJsonObject>

QString JS::vaultList(QString host, QString port) {
    return vaultDesk.list(host, port);
}

void JS::vaultOverview(QString sitesJson, QString callback) {
    vaultDesk.overview(sitesJson, callback);
}

QString JS::vaultPartPath(QString host, QString port) {
    return vaultDesk.partPath(host, port);
}

bool JS::vaultDiscard(QString part) {
    return vaultDesk.discard(part);
}

void JS::vaultAdd(QString requestJson, QString callback) {
    // The download into the vault that this copy came from is recorded with what the vault made
    // of it: a backup, or a suspect copy that is none.
    // The digest the download computed over what it wrote comes with its end record: the copy is
    // not read a second time.
    qint64 intent = 0;
    QString writtenMd5;
    const QString part =
        QJsonDocument::fromJson(requestJson.toUtf8()).object().value(QStringLiteral("part")).toString();
    if (!part.isEmpty() && part == journalVaultPart) {
        intent = journalVaultCopy;
        writtenMd5 = vaultPartMd5;
        journalVaultCopy = 0;
        journalVaultPart.clear();
        vaultPartMd5.clear();
    }
    vaultDesk.add(requestJson, callback, intent, writtenMd5);
}

void JS::vaultPrune(QString host, QString port, int keep, QString callback) {
    vaultDesk.prune(host, port, keep, callback);
}

void JS::fleetProbe(QString sitesJson, QString callback) {
    vaultDesk.probe(sitesJson, callback);
}

bool JS::fleetBackup(QString requestJson, QString callback) {
    return vaultDesk.backup(requestJson, callback);
}
