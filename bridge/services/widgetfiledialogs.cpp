#include "widgetfiledialogs.h"

#include <QFileDialog>

WidgetFileDialogs::WidgetFileDialogs(QWidget *parent) : m_parent(parent) {}

QString WidgetFileDialogs::openFileName(const QString &title, const QString &directory,
                                        const QString &filter) {
    return QFileDialog::getOpenFileName(m_parent, title, directory, filter);
}

QString WidgetFileDialogs::saveFileName(const QString &title, const QString &directory,
                                        const QString &filter) {
    return QFileDialog::getSaveFileName(m_parent, title, directory, filter);
}

QString WidgetFileDialogs::existingDirectory(const QString &title, const QString &directory) {
    return QFileDialog::getExistingDirectory(m_parent, title, directory,
                                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}
