#pragma once
// Work that grows with a file or with a number of sites (hashing a file, retention over a site's
// copies, probing or backing up many sites, reading a big archive entry) runs here, never on the
// GUI thread. Each request belongs to a lane (one kind of work, often for one page callback): a
// newer request of a lane cancels the older one, and each request has a generation, so that
// whatever an older request still sends is dropped rather than taken for the newer one's. The
// answer, interim answers and progress (throttled) reach the owner on the runner's thread. Jobs
// run at a lower priority than the window, so that a busy machine still gives it its turn.
//
// Destroying the runner cancels every request and waits for its jobs: a job looks at its cancel
// token often (between pieces of a file, between sites, in slices of a wait), so that this takes
// a fraction of a second.
#include "progressthrottle.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>

class WorkRunner : public QObject {
    Q_OBJECT

public:
    // What a running job sees of its request. Used on the job's thread only.
    class Job {
    public:
        bool cancelled() const { return m_cancel->load(); }
        // The same for code without Qt: true once the request is cancelled or replaced.
        const std::atomic<bool> *cancelFlag() const { return m_cancel.get(); }
        quint64 generation() const { return m_generation; }
        // How far the job is; the owner gets the newest at most about 20 times a second.
        void progress(const QString &json) const;
        // An answer before the end (one per site of a probe, say): each one reaches the owner, in
        // order, as long as the request is current.
        void post(const QString &json) const;

    private:
        friend class WorkRunner;
        using Delivery = void (WorkRunner::*)(const QString &lane, quint64 generation, const QString &json);
        // Hands `json` to the runner's thread, unless the request is cancelled.
        void send(Delivery deliver, const QString &json) const;
        Job(WorkRunner *runner, const QString &lane, quint64 generation,
            std::shared_ptr<std::atomic<bool>> cancel)
            : m_runner(runner), m_lane(lane), m_generation(generation), m_cancel(std::move(cancel)) {}

        WorkRunner *m_runner;
        QString m_lane;
        quint64 m_generation;
        std::shared_ptr<std::atomic<bool>> m_cancel;
    };

    // The job's work, on a thread of the runner; its result is the answer.
    using Work = std::function<QString(Job &job)>;
    using Deliver = std::function<void(const QString &json)>;

    // Where a request's reports go, on the runner's thread; none is called once the request is
    // cancelled or replaced.
    struct Handlers {
        Deliver done;     // the answer, once
        Deliver progress; // throttled; nothing of it after the answer
        Deliver posted;   // interim answers, before the answer
    };

    explicit WorkRunner(int threads = 4, QObject *parent = nullptr);
    ~WorkRunner() override;

    // Starts `work` as the request of `lane`, cancelling the lane's earlier one; its generation.
    quint64 start(const QString &lane, Work work, Handlers handlers);
    // Nothing more of the lane's request reaches its owner; its job ends at its next look at the
    // token. Returns at once: it never waits for the job.
    void cancel(const QString &lane);
    void cancelAll();
    // A request of the lane has not answered yet.
    bool running(const QString &lane) const;
    // The lane's current request, if any (0 when none ran).
    quint64 generation(const QString &lane) const;
    // Jobs queued or running, cancelled ones included.
    int jobsRunning() const { return m_jobs.load(); }
    // Waits for every job to leave its thread (msecs < 0: however long that takes).
    bool waitForDone(int msecs = -1);

private:
    struct Lane {
        quint64 generation = 0;
        bool running = false;
        std::shared_ptr<std::atomic<bool>> cancel;
        Handlers handlers;
        std::unique_ptr<ProgressThrottle> throttle;
    };

    // On the runner's thread: the lane when `generation` is its current, running request.
    Lane *current(const QString &lane, quint64 generation);
    void deliverProgress(const QString &lane, quint64 generation, const QString &json);
    void deliverPosted(const QString &lane, quint64 generation, const QString &json);
    void deliverDone(const QString &lane, quint64 generation, const QString &json);

    QHash<QString, std::shared_ptr<Lane>> m_lanes;
    quint64 m_nextGeneration = 0;
    std::atomic<int> m_jobs{0};
    QThreadPool m_pool; // last: its threads end before the rest goes
};
