// Bridge slots of the backup vault and the fleet: thin, the work is VaultDesk's.
#include "js.h"

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
    vaultDesk.add(requestJson, callback);
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
