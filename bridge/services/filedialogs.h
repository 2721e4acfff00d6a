#pragma once

#include <QString>

// The file and folder pickers the services ask the user with. Tests answer them with a fake;
// the program uses WidgetFileDialogs. Every method returns "" when the user cancels.
class FileDialogs {
public:
    virtual ~FileDialogs();

    virtual QString openFileName(const QString &title, const QString &directory, const QString &filter) = 0;
    virtual QString saveFileName(const QString &title, const QString &directory, const QString &filter) = 0;
    // Folders only; symbolic links are not resolved.
    virtual QString existingDirectory(const QString &title, const QString &directory) = 0;
};
