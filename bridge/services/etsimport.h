#pragma once

#include "workrunner.h"

#include <QObject>
#include <QString>

// Runs the reading of one ETS project off the GUI thread, on the work runner. Progress and the
// result arrive as signals on the thread the object lives in. A new start cancels the read still
// running; cancelling never waits for the reader, which stops at its next piece, and nothing of a
// cancelled read is signalled.
class EtsImport : public QObject {
    Q_OBJECT

public:
    explicit EtsImport(QObject *parent = nullptr);

    // The password is handed to the reader and not kept.
    void start(const QString &path, const QString &password);
    void cancel();
    bool running() const { return m_work.running(kLane); }
    // Reads whose reader has not stopped yet, cancelled ones included (tests look at it).
    int readersRunning() const { return m_work.jobsRunning(); }

signals:
    // JSON text {"stage": "...", "fraction": 0..1}.
    void progress(const QString &json);
    // The reader's result as compact JSON text.
    void finished(const QString &json);

private:
    static const QString kLane;
    WorkRunner m_work{2};
};
