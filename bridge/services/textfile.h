#pragma once

#include <QString>

// UTF-8 text files through a text stream (line ends translated by text mode).
class TextFile
{
public:
    // The whole file; "" when it cannot be opened.
    static QString read(const QString &path);
    // Replaces the file with `text`; false when it cannot be opened or written. Missing
    // folders are not created here.
    static bool write(const QString &path, const QString &text);
};
