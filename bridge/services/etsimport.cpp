#include "etsimport.h"

#include "etsproject.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QPointer>

EtsImport::EtsImport(QObject *parent) : QObject(parent) {}

EtsImport::~EtsImport() { stopWorker(); }

void EtsImport::stopWorker()
{
    if (m_cancel)
        m_cancel->store(true);
    // The reader looks at the flag between pieces of at most a few hundred kB.
    if (m_worker.joinable())
        m_worker.join();
    m_running = false;
}

void EtsImport::cancel()
{
    stopWorker();
    ++m_generation;
}

void EtsImport::start(const QString &path, const QString &password)
{
    cancel();
    m_cancel = std::make_shared<std::atomic_bool>(false);
    m_running = true;
    const unsigned generation = m_generation;
    QPointer<EtsImport> self(this);
    auto cancelFlag = m_cancel;
    // Signals emitted from the worker reach the receivers queued on their own threads; the
    // generation check drops what a cancelled read still had in flight.
    m_worker = std::thread([self, this, path, password, cancelFlag, generation]() {
        int lastTenth = -1;
        QString lastStage;
        auto report = [&](const QString &stage, double fraction) {
            const int tenth = int(fraction * 100);
            if (stage == lastStage && tenth == lastTenth)
                return;
            lastStage = stage;
            lastTenth = tenth;
            const QString json = QString::fromUtf8(QJsonDocument(QJsonObject{
                {QStringLiteral("stage"), stage}, {QStringLiteral("fraction"), fraction}}).toJson(QJsonDocument::Compact));
            QMetaObject::invokeMethod(this, [self, generation, json]() {
                if (self && self->m_generation == generation && self->m_running)
                    emit self->progress(json);
            }, Qt::QueuedConnection);
        };
        const QJsonObject result = EtsProjectReader::read(path, password, report, cancelFlag.get());
        if (cancelFlag->load())
            return;
        const QString json = QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact));
        QMetaObject::invokeMethod(this, [self, generation, json]() {
            if (!self || self->m_generation != generation)
                return;
            self->m_running = false;
            emit self->finished(json);
        }, Qt::QueuedConnection);
    });
}
