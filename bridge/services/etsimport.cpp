#include "etsimport.h"

#include "etsproject.h"

#include <QJsonDocument>
#include <QJsonObject>

const QString EtsImport::kLane = QStringLiteral("import");

EtsImport::EtsImport(QObject *parent) : QObject(parent) {}

void EtsImport::cancel() {
    m_work.cancel(kLane);
}

void EtsImport::start(const QString &path, const QString &password) {
    WorkRunner::Handlers handlers;
    handlers.done = [this](const QString &json) { emit finished(json); };
    handlers.progress = [this](const QString &json) { emit progress(json); };
    m_work.start(
        kLane,
        [path, password](WorkRunner::Job &job) {
            int lastPercent = -1;
            QString lastStage;
            auto report = [&](const QString &stage, double fraction) {
                const int percent = int(fraction * 100);
                if (stage == lastStage && percent == lastPercent)
                    return;
                lastStage = stage;
                lastPercent = percent;
                job.progress(
                    QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("stage"), stage},
                                                                {QStringLiteral("fraction"), fraction}})
                                          .toJson(QJsonDocument::Compact)));
            };
            const QJsonObject result = EtsProjectReader::read(path, password, report, job.cancelFlag());
            return QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact));
        },
        handlers);
}
