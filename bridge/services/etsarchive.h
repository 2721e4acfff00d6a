#pragma once

#include <QString>

// Read-only access to ETS project archives (zip files); the page interprets the contents.
class EtsArchive
{
public:
    // Entries larger than this are not read (a small archive can expand to any size).
    static constexpr qint64 kMaxEntryBytes = 256LL * 1024 * 1024;

    // Every entry name, folders included, each followed by "\n", in directory order;
    // "" when the archive cannot be opened or is empty.
    static QString fileList(const QString &projectPath);
    // The entry `filePath` (matched without regard to case) decoded as UTF-8; "" when the
    // archive, the entry or its data cannot be read.
    static QString readFile(const QString &projectPath, const QString &filePath,
                            qint64 maxBytes = kMaxEntryBytes);
};
