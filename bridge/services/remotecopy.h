#pragma once

#include <QJsonObject>
#include <QString>

// The state of one copy of a local file to the server: the file is sent in blocks, one block per
// answered append, and checked by MD5 at the end. A second copy started before the first ends
// takes this state over.
//
// The end test is "size < sent", so a file whose size is a whole multiple of the block size gets
// one more, empty, append before the MD5 step; an empty file goes to the MD5 step after its first
// (empty) append.
class RemoteCopy {
public:
    static constexpr qint64 kBlockSize = 131072;
    // Offsets travel as a signed 32-bit number: larger files cannot be copied.
    static constexpr qint64 kMaxFileSize = 0x7fffffffLL - kBlockSize;

    struct Append {
        qint64 offset = 0;
        qint64 count = 0;
    };

    // Where the copy stands: which answer of the server it waits for.
    enum class Stage { Idle, Creating, Appending, Verifying };

    // Starts a copy: the file create is next.
    void begin(const QString &localPath, const QString &serverName);
    // The local file's size, read when the server has created the file; starts the block count.
    void start(qint64 size);
    // One append was answered. True when every byte has been sent (the MD5 step is next).
    bool acknowledge();
    // The append to send now: the block after the acknowledged ones. Remembered as the one whose
    // answer is awaited.
    Append nextAppend();
    // The append last handed out by nextAppend.
    Append pendingAppend() const { return m_pending; }
    Stage stage() const { return m_stage; }
    // The copy ended (done, refused or abandoned): no later answer moves it on.
    void finish() { m_stage = Stage::Idle; }

    // {"status": "copy in progress", "length", "copied", "percent"} after the acknowledged blocks.
    QJsonObject progress() const;

    QString localPath() const { return m_localPath; }
    QString serverName() const { return m_serverName; }
    qint64 size() const { return m_size; }
    qint64 blocksSent() const { return m_blocksSent; }

private:
    qint64 sent() const { return m_blocksSent * kBlockSize; }

    QString m_localPath;
    QString m_serverName;
    qint64 m_size = 0;
    qint64 m_blocksSent = 0;
    Append m_pending;
    Stage m_stage = Stage::Idle;
};
