#pragma once

#include "filedialogs.h"

#include <QStringList>

// Answers the dialogs from a list prepared by the test and records what was asked.
class FakeFileDialogs : public FileDialogs {
public:
    struct Request {
        QString kind;
        QString title;
        QString directory;
        QString filter;
    };

    QStringList answers; // taken front first; "" (cancel) when empty
    QList<Request> requests;

    QString openFileName(const QString &title, const QString &directory, const QString &filter) override {
        return answer({QStringLiteral("open"), title, directory, filter});
    }
    QString saveFileName(const QString &title, const QString &directory, const QString &filter) override {
        return answer({QStringLiteral("save"), title, directory, filter});
    }
    QString existingDirectory(const QString &title, const QString &directory) override {
        return answer({QStringLiteral("folder"), title, directory, QString()});
    }

private:
    QString answer(const Request &request) {
        requests.append(request);
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
};
