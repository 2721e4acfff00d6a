#include "operationlog.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

OperationLog::OperationLog(const QString &directory) : m_directory(directory) {}

QString OperationLog::filePath() const {
    const QString name = QStringLiteral("log.txt");
    return m_directory.isEmpty() ? name : QDir(m_directory).filePath(name);
}

void OperationLog::append(const QString &text) const {
    QFile file(filePath());
    if (!file.open(QIODevice::Append | QIODevice::Text))
        return;
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << text << '\n';
}

void appendLog(const QString &text) {
    OperationLog().append(text);
}
