#include "etsimport.h"

#include "etsproject.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>

EtsImport::EtsImport(QObject *parent) : QObject(parent) {}

EtsImport::~EtsImport() {
    stopWorker();
}

void EtsImport::stopWorker() {
    if (m_cancel)
        m_cancel->store(true);
    // The reader looks at the flag between pieces of at most a few hundred kB.
    if (m_worker.joinable())
        m_worker.join();
    m_running = false;
}

void EtsImport::cancel() {
    stopWorker();
    ++m_generation;
}

void EtsImport::start(const QString &path, const QString &password) {
    cancel();
    m_cancel = std::make_shared<std::atomic_bool>(false);
    m_running = true;
    const unsigned generation = m_generation;
    auto cancelFlag = m_cancel;
    // The worker hands its reports to this object's thread; the destructor joins the worker
    // before the object goes, and events still queued for a deleted object are dropped. The
    // generation check drops what a cancelled read still had in flight.
    m_worker = std::thread([this, path, password, cancelFlag, generation]() {
        int lastTenth = -1;
        QString lastStage;
        auto report = [&](const QString &stage, double fraction) {
            const int tenth = int(fraction * 100);
            if (stage == lastStage && tenth == lastTenth)
                return;
            lastStage = stage;
            lastTenth = tenth;
            const QString json =
                QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("stage"), stage},
                                                            {QStringLiteral("fraction"), fraction}})
                                      .toJson(QJsonDocument::Compact));
            QMetaObject::invokeMethod(
                this,
                [this, generation, json]() {
                    if (m_generation == generation && m_running)
                        emit progress(json);
                },
                Qt::QueuedConnection);
        };
        const QJsonObject result = EtsProjectReader::read(path, password, report, cancelFlag.get());
        if (cancelFlag->load())
            return;
        const QString json = QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact));
        QMetaObject::invokeMethod(
            this,
            [this, generation, json]() {
                if (m_generation != generation)
                    return;
                m_running = false;
                emit finished(json);
            },
            Qt::QueuedConnection);
    });
}
