#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

// Runs the reading of one ETS project off the GUI thread. Progress and the result arrive as
// signals on the thread the object lives in. A new start cancels the read still running; the
// results of a cancelled read are dropped.
class EtsImport : public QObject {
    Q_OBJECT

public:
    explicit EtsImport(QObject *parent = nullptr);
    ~EtsImport() override;

    // The password is handed to the reader and not kept.
    void start(const QString &path, const QString &password);
    void cancel();
    bool running() const { return m_running; }

signals:
    // JSON text {"stage": "...", "fraction": 0..1}.
    void progress(const QString &json);
    // The reader's result as compact JSON text.
    void finished(const QString &json);

private:
    void stopWorker();

    std::thread m_worker;
    std::shared_ptr<std::atomic_bool> m_cancel;
    unsigned m_generation = 0;
    bool m_running = false;
};
