#include "remotecopy.h"

#include <QtGlobal>

void RemoteCopy::begin(const QString &localPath, const QString &serverName)
{
    m_localPath = localPath;
    m_serverName = serverName;
    m_size = 0;
    m_blocksSent = 0;
}

void RemoteCopy::start(qint64 size)
{
    m_size = size;
    m_blocksSent = 0;
}

bool RemoteCopy::acknowledge()
{
    ++m_blocksSent;
    return m_size < sent();
}

RemoteCopy::Append RemoteCopy::nextAppend() const
{
    Append append;
    append.offset = sent();
    append.count = qBound<qint64>(0, m_size - append.offset, kBlockSize);
    return append;
}

QJsonObject RemoteCopy::progress() const
{
    QJsonObject object;
    object.insert(QStringLiteral("status"), QStringLiteral("copy in progress"));
    object.insert(QStringLiteral("length"), double(m_size));
    object.insert(QStringLiteral("copied"), double(sent()));
    // An empty file never reports progress (its first answer ends the copy), so size is not 0.
    object.insert(QStringLiteral("percent"), m_size > 0 ? double(sent()) * 100.0 / double(m_size) : 0.0);
    return object;
}
