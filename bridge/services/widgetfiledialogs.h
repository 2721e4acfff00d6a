#pragma once

#include "filedialogs.h"

#include <QPointer>
#include <QWidget>

// The platform's file dialogs, modal over `parent`.
class WidgetFileDialogs : public FileDialogs {
public:
    explicit WidgetFileDialogs(QWidget *parent = nullptr);

    QString openFileName(const QString &title, const QString &directory, const QString &filter) override;
    QString saveFileName(const QString &title, const QString &directory, const QString &filter) override;
    QString existingDirectory(const QString &title, const QString &directory) override;

private:
    QPointer<QWidget> m_parent;
};
