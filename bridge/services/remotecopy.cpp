#include "remotecopy.h"

#include <QtGlobal>

void RemoteCopy::begin(const QString &localPath, const QString &serverName) {
    m_localPath = localPath;
    m_serverName = serverName;
    m_size = 0;
    m_blocksSent = 0;
    m_pending = Append();
    m_stage = Stage::Creating;
}

void RemoteCopy::start(qint64 size) {
    m_size = size;
    m_blocksSent = 0;
    m_stage = Stage::Appending;
}

bool RemoteCopy::acknowledge() {
    ++m_blocksSent;
    if (m_size >= sent())
        return false;
    m_stage = Stage::Verifying;
    return true;
}

RemoteCopy::Append RemoteCopy::nextAppend() {
    Append append;
    append.offset = sent();
    append.count = qBound<qint64>(0, m_size - append.offset, kBlockSize);
    m_pending = append;
    return append;
}

QJsonObject RemoteCopy::progress() const {
    QJsonObject object;
    object.insert(QStringLiteral("status"), QStringLiteral("copy in progress"));
    object.insert(QStringLiteral("length"), double(m_size));
    object.insert(QStringLiteral("copied"), double(sent()));
    // An empty file never reports progress (its first answer ends the copy), so size is not 0.
    object.insert(QStringLiteral("percent"), m_size > 0 ? double(sent()) * 100.0 / double(m_size) : 0.0);
    return object;
}
