#pragma once

#include <QByteArray>
#include <QString>

// Files the page reads and replaces. Every replacement is written to a temporary file beside the
// target and renamed over it only once it is complete, so a full disk, a failing write or a
// crash leaves the previous file as it was.
class TextFile {
public:
    // The whole file as UTF-8 text (line ends translated by text mode); "" when it cannot be
    // opened.
    static QString read(const QString &path);
    // Replaces the file with `text` as UTF-8 (text mode); false when the file cannot be written
    // completely. Missing folders are not created here.
    static bool write(const QString &path, const QString &text);
    // Replaces the file with `bytes`; false when they cannot be written completely.
    static bool writeBytes(const QString &path, const QByteArray &bytes);
    // Replaces `dest` with a copy of `source`; false (and `dest` unchanged) when the source
    // cannot be read or the copy cannot be written. Copying a file onto itself changes nothing
    // and succeeds.
    static bool copy(const QString &source, const QString &dest);
};
