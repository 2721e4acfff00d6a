#include "plugininstall.h"

#include "bridgelog.h"
#include "journalschema.h"
#include "remotecopyservice.h"

const char PluginInstall::kStopLogicCommand[] = "kill $(pidof mono)";
const char PluginInstall::kStartLogicCommand[] = "/nalrio/bin/nalrio_guardian start logic";

namespace {

const char kOwnershipCommand[] = "chown vyxweb:vyxweb logic/ -R";
const char kRemoveCommand[] = "rm plugin.tar.gz";
const char kArchiveName[] = "plugin.tar.gz";

} // namespace

PluginInstall::PluginInstall(RemoteCopyService &copy, Server server, JournalRecorder journal, QObject *parent)
    : QObject(parent), m_copy(copy), m_server(std::move(server)), m_journal(std::move(journal)) {
    // Any copy that ends badly while an installation waits ends the installation too.
    connect(&m_copy, &RemoteCopyService::failed, this, [this](const QString &reason) {
        m_journal.result(m_intent, vyxjournal::kOutcomeFailed,
                         QStringLiteral("the archive was not copied: ") + reason);
    });
    connect(&m_copy, &RemoteCopyService::damaged, this, [this](const QString &mismatch) {
        m_journal.result(m_intent, vyxjournal::kOutcomeFailed,
                         QStringLiteral("the archive arrived damaged: ") + mismatch);
    });
    connect(&m_copy, &RemoteCopyService::abandoned, this, [this](const QString &reason) {
        m_journal.result(m_intent, vyxjournal::kOutcomeUnknown, reason);
    });
}

void PluginInstall::install(const QString &archive, const QString &statusCallback,
                            const QString &completeCallback) {
    m_completeCallback = completeCallback;
    m_journal.result(m_intent, vyxjournal::kOutcomeUnknown, QStringLiteral("another install was started"));
    if (m_server.ready())
        m_intent = m_journal.intent(vyxjournal::kKindPluginInstall, {{QStringLiteral("archive"), archive}});
    m_copy.copy(archive, QLatin1String(kArchiveName), statusCallback);
    if (m_copy.stage() == RemoteCopy::Stage::Idle)
        m_journal.result(m_intent, vyxjournal::kOutcomeFailed, QStringLiteral("the archive was not sent"));
}

void PluginInstall::extracted() {
    m_copy.tellStatus(QStringLiteral("files done"));
    m_server.commandLine(Step::Ownership, QLatin1String(kOwnershipCommand));
}

void PluginInstall::ownershipChanged() {
    m_server.commandLine(Step::ArchiveRemoval, QLatin1String(kRemoveCommand));
}

void PluginInstall::archiveRemoved() {
    m_copy.tellStatus(QStringLiteral("restarting logic"));
    m_server.commandLine(Step::LogicRestart, QLatin1String(kStopLogicCommand));
    finish(QString());
}

void PluginInstall::finish(const QString &info) {
    qCDebug(lcBridge).noquote() << info;
    m_journal.result(m_intent, vyxjournal::kOutcomeSucceeded,
                     QStringLiteral("install complete; logic restarting"));
    emit answer(m_completeCallback, RemoteCopyService::statusExpression(QStringLiteral("install complete")));
}
