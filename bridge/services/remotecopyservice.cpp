#include "remotecopyservice.h"

#include "bridgelog.h"
#include "journalschema.h"
#include "localfiles.h"
#include "pagescript.h"

#include <QFile>
#include <QJsonDocument>

namespace {

QString indented(const QJsonObject &object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

// JSON built here, safe as an expression (line separators escaped).
QString jsonExpression(const QJsonObject &object) {
    return PageScript::jsonOrStringLiteral(indented(object));
}

QString errorExpression(const QString &info) {
    return jsonExpression(
        {{QStringLiteral("status"), QStringLiteral("error")}, {QStringLiteral("info"), info}});
}

} // namespace

const QString RemoteCopyService::kCompareLane = QStringLiteral("compare");

const char RemoteCopyService::kCancelled[] =
    "cancelled by the user; the server keeps the part it has written";

RemoteCopyService::RemoteCopyService(Server server, JournalRecorder journal, QObject *parent)
    : QObject(parent), m_server(std::move(server)), m_journal(std::move(journal)) {}

QString RemoteCopyService::statusExpression(const QString &status, const QJsonObject &more) {
    QJsonObject object = more;
    object.insert(QStringLiteral("status"), status);
    return jsonExpression(object);
}

void RemoteCopyService::tellStatus(const QString &status, const QJsonObject &more) {
    emit answer(m_callback, statusExpression(status, more));
}

QString RemoteCopyService::copy(const QString &localPath, const QString &serverName,
                                const QString &callback) {
    if (!m_server.ready()) {
        emit answer(callback, errorExpression(m_server.notConnected));
        return QString();
    }
    QFile local(localPath);
    if (!local.open(QIODevice::ReadOnly)) {
        qCDebug(lcBridge).noquote() << QStringLiteral(" file to copy not found: ") + localPath;
        return QString();
    }
    // Refused before anything is created on the server.
    if (local.size() > RemoteCopy::kMaxFileSize) {
        qCDebug(lcBridge).noquote() << QStringLiteral(" file to copy too large: ") + localPath;
        return QString();
    }
    // A comparison still hashing belongs to the copy before: it ends unanswered.
    m_work.cancel(kCompareLane);
    m_copy.begin(localPath, serverName);
    m_callback = callback;
    m_journal.result(m_intent, vyxjournal::kOutcomeUnknown, QStringLiteral("another copy was started"));
    m_intent = m_journal.intent(vyxjournal::kKindFileCopy, {{QStringLiteral("local"), localPath},
                                                            {QStringLiteral("server"), serverName},
                                                            {QStringLiteral("bytes"), local.size()}});
    if (!m_server.createFile(serverName)) {
        fail(m_server.notConnected);
        return QString();
    }
    return indented({{QStringLiteral("status"), QStringLiteral("copy in progress")}});
}

bool RemoteCopyService::answers(const QString &path, RemoteCopy::Stage stage) const {
    return m_copy.stage() == stage && (path.isEmpty() || path == m_copy.serverName());
}

// The server's answer to the create: a refusal ends the copy with the server's reason.
void RemoteCopyService::fileCreated(const QJsonObject &answer, const QString &path) {
    if (!answers(path, RemoteCopy::Stage::Creating))
        return;
    const QString info = answer.value(QStringLiteral("info")).toString();
    if (answer.value(QStringLiteral("err")).toInt(0) != 0) {
        fail(info.isEmpty() ? QStringLiteral("the server refused to create ") + m_copy.serverName() : info);
        return;
    }
    createDone();
}

// An append is taken only when the server says it wrote the whole block; anything else ends the
// copy there, with the server's reason, instead of sending the blocks after it.
void RemoteCopyService::dataAppended(const QJsonObject &answer, const QString &path) {
    if (!answers(path, RemoteCopy::Stage::Appending))
        return;
    const QString info = answer.value(QStringLiteral("info")).toString();
    const RemoteCopy::Append block = m_copy.pendingAppend();
    const int err = answer.value(QStringLiteral("err")).toInt(0);
    const double wrote = answer.value(QStringLiteral("wrotebytes")).toDouble(-1);
    if (err != 0 || wrote != double(block.count)) {
        const QString reason = QStringLiteral("the server wrote %1 of %2 bytes at offset %3")
                                   .arg(wrote < 0 ? QStringLiteral("none") : QString::number(qint64(wrote)))
                                   .arg(block.count)
                                   .arg(block.offset);
        // A refusal carries the server's reason; a short write that says "ok" has only ours.
        fail(err != 0 && !info.isEmpty() ? info : reason);
        return;
    }
    appendDone();
}

void RemoteCopyService::md5Answered(const QString &md5) {
    if (m_copy.stage() != RemoteCopy::Stage::Verifying)
        return;
    m_copy.finish();
    verify(md5);
}

void RemoteCopyService::cancel() {
    if (m_copy.stage() == RemoteCopy::Stage::Idle && !comparing())
        return;
    m_work.cancel(kCompareLane);
    fail(QLatin1String(kCancelled));
}

void RemoteCopyService::abandon(const QString &reason) {
    if (m_copy.stage() == RemoteCopy::Stage::Idle)
        return;
    // The server may have written the whole file before the connection went.
    m_journal.result(m_intent, vyxjournal::kOutcomeUnknown, reason);
    emit abandoned(reason);
    fail(reason);
}

void RemoteCopyService::fail(const QString &info) {
    m_copy.finish();
    m_journal.result(m_intent, vyxjournal::kOutcomeFailed, info);
    emit failed(info);
    qCDebug(lcBridge).noquote() << QStringLiteral("copy failed: ") + info;
    emit answer(m_callback, errorExpression(info));
}

void RemoteCopyService::createDone() {
    if (!m_server.ready())
        return;
    // Only the size is needed here: the client reads each block from the file as it sends it.
    // The file may have gone or grown since the copy started: the copy ends, and the page is told.
    QFile local(m_copy.localPath());
    if (!local.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("the local file cannot be read"));
        return;
    }
    if (local.size() > RemoteCopy::kMaxFileSize) {
        fail(QStringLiteral("the local file is too large"));
        return;
    }
    m_copy.start(local.size());
    sendNextAppend();
}

void RemoteCopyService::sendNextAppend() {
    const RemoteCopy::Append append = m_copy.nextAppend();
    if (!m_server.appendData(m_copy.serverName(), m_copy.localPath(), append.offset, append.count))
        fail(QStringLiteral("the block at offset %1 of %2 could not be read or sent")
                 .arg(append.offset)
                 .arg(m_copy.localPath()));
}

void RemoteCopyService::appendDone() {
    if (m_copy.acknowledge()) {
        tellStatus(QStringLiteral("MD5 verify"));
        if (!m_server.queryMd5(m_copy.serverName()))
            fail(QStringLiteral("the request for the server's MD5 could not be sent"));
        return;
    }
    sendNextAppend();
    const QString progress = indented(m_copy.progress());
    qCDebug(lcBridge).noquote() << progress;
    emit answer(m_callback, progress);
}

void RemoteCopyService::verify(const QString &serverMd5) {
    const QString local = m_copy.localPath();
    WorkRunner::Handlers handlers;
    handlers.done = [this, serverMd5](const QString &md5) { compare(serverMd5, md5); };
    m_work.start(
        kCompareLane,
        [local](WorkRunner::Job &job) {
            return LocalFiles::MD5Watched(local, [&job](quint64) { return !job.cancelled(); });
        },
        handlers);
}

void RemoteCopyService::compare(const QString &serverMd5, const QString &md5) {
    if (md5.isEmpty()) {
        fail(QStringLiteral("the local file cannot be read to compare its MD5"));
        return;
    }
    qCDebug(lcBridge).noquote() << QStringLiteral("MD5 ") + md5;
    const QJsonObject digests{{QStringLiteral("md5"), md5},
                              {QStringLiteral("serverMd5"), serverMd5.left(64)}};
    if (md5 == serverMd5) {
        qCDebug(lcBridge) << "complete";
        m_journal.result(m_intent, vyxjournal::kOutcomeSucceeded, QStringLiteral("MD5 ") + md5);
        tellStatus(QStringLiteral("complete"), digests);
    } else {
        const QString mismatch =
            QStringLiteral("MD5 differs: server %1, local %2").arg(serverMd5.left(64), md5);
        m_journal.result(m_intent, vyxjournal::kOutcomeFailed, mismatch);
        emit damaged(mismatch);
        tellStatus(QStringLiteral("MD5 Error"), digests);
    }
}
