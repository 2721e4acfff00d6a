// Bridge slots of the backup vault and the fleet: thin, the work is VaultDesk's.
#include "js.h"

#include <QJsonDocument>
#include <QJsonObject>

QString JS::vaultList(QString host, QString port) {
    return vaultDesk.list(host, port);
}

QString JS::vaultOverview(QString sitesJson) {
    return vaultDesk.overview(sitesJson);
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
    qint64 intent = 0;
    const QString part =
        QJsonDocument::fromJson(requestJson.toUtf8()).object().value(QStringLiteral("part")).toString();
    if (!part.isEmpty() && part == journalVaultPart) {
        intent = journalVaultCopy;
        journalVaultCopy = 0;
        journalVaultPart.clear();
    }
    vaultDesk.add(requestJson, callback, intent);
}

QString JS::vaultPrune(QString host, QString port, int keep) {
    return vaultDesk.prune(host, port, keep);
}

void JS::fleetProbe(QString sitesJson, QString callback) {
    vaultDesk.probe(sitesJson, callback);
}

bool JS::fleetBackup(QString requestJson, QString callback) {
    return vaultDesk.backup(requestJson, callback);
}
