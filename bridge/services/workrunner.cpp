#include "workrunner.h"

#include <QMetaObject>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Jobs yield a core to the GUI thread: on a machine whose cores are all busy (a hash, many
// probes, other programs) the window still gets its turn at once. Threads a job starts inherit it.
const int kJobNice = 10;

void yieldToTheWindow() {
    static thread_local bool done = false;
    if (done)
        return;
    done = true;
    ::setpriority(PRIO_PROCESS, id_t(::syscall(SYS_gettid)), kJobNice);
}

} // namespace

void WorkRunner::Job::progress(const QString &json) const {
    send(&WorkRunner::deliverProgress, json);
}

void WorkRunner::Job::post(const QString &json) const {
    send(&WorkRunner::deliverPosted, json);
}

void WorkRunner::Job::send(Delivery deliver, const QString &json) const {
    if (cancelled())
        return;
    WorkRunner *runner = m_runner;
    const QString lane = m_lane;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        runner, [runner, deliver, lane, generation, json] { (runner->*deliver)(lane, generation, json); },
        Qt::QueuedConnection);
}

WorkRunner::WorkRunner(int threads, QObject *parent) : QObject(parent) {
    m_pool.setMaxThreadCount(qMax(1, threads));
}

WorkRunner::~WorkRunner() {
    cancelAll();
    m_pool.waitForDone();
}

quint64 WorkRunner::start(const QString &lane, Work work, Handlers handlers) {
    cancel(lane);
    std::shared_ptr<Lane> &entry = m_lanes[lane];
    if (!entry)
        entry = std::make_shared<Lane>();
    Lane &l = *entry;
    l.generation = ++m_nextGeneration;
    l.running = true;
    l.cancel = std::make_shared<std::atomic<bool>>(false);
    l.handlers = std::move(handlers);
    if (!l.throttle) {
        Lane *self = entry.get();
        l.throttle.reset(new ProgressThrottle(
            [self](const QString &json) {
                // The handler may start the lane's next request, which replaces the handlers.
                const Deliver progress = self->handlers.progress;
                if (progress)
                    progress(json);
            },
            ProgressThrottle::Clock(), this));
    }
    l.throttle->clear();
    const quint64 generation = l.generation;
    const std::shared_ptr<std::atomic<bool>> token = l.cancel;
    ++m_jobs;
    m_pool.start([this, lane, generation, token, work] {
        yieldToTheWindow();
        Job job(this, lane, generation, token);
        // A request cancelled while it waited for a thread does not start at all.
        if (!token->load()) {
            const QString answer = work(job);
            if (!token->load())
                QMetaObject::invokeMethod(
                    this, [this, lane, generation, answer] { deliverDone(lane, generation, answer); },
                    Qt::QueuedConnection);
        }
        --m_jobs;
    });
    return generation;
}

void WorkRunner::cancel(const QString &lane) {
    const auto it = m_lanes.find(lane);
    if (it == m_lanes.end())
        return;
    Lane &l = **it;
    if (l.cancel)
        l.cancel->store(true);
    l.running = false;
    l.throttle->clear();
}

void WorkRunner::cancelAll() {
    for (const QString &lane : m_lanes.keys())
        cancel(lane);
}

bool WorkRunner::running(const QString &lane) const {
    const auto it = m_lanes.find(lane);
    return it != m_lanes.end() && (*it)->running;
}

quint64 WorkRunner::generation(const QString &lane) const {
    const auto it = m_lanes.find(lane);
    return it == m_lanes.end() ? 0 : (*it)->generation;
}

bool WorkRunner::waitForDone(int msecs) {
    return m_pool.waitForDone(msecs);
}

WorkRunner::Lane *WorkRunner::current(const QString &lane, quint64 generation) {
    const auto it = m_lanes.find(lane);
    if (it == m_lanes.end())
        return nullptr;
    Lane *l = it->get();
    return l->running && l->generation == generation ? l : nullptr;
}

void WorkRunner::deliverProgress(const QString &lane, quint64 generation, const QString &json) {
    if (Lane *l = current(lane, generation))
        l->throttle->report(json);
}

void WorkRunner::deliverPosted(const QString &lane, quint64 generation, const QString &json) {
    Lane *l = current(lane, generation);
    const Deliver posted = l ? l->handlers.posted : Deliver();
    if (posted)
        posted(json);
}

void WorkRunner::deliverDone(const QString &lane, quint64 generation, const QString &json) {
    Lane *l = current(lane, generation);
    if (!l)
        return;
    // The newest progress that waits goes first: the owner sees how far the job got.
    l->throttle->flush();
    l = current(lane, generation);
    if (!l)
        return;
    const Deliver done = l->handlers.done;
    // A lane that answered is forgotten (lanes named after page callbacks would pile up); its
    // throttle may be on the stack of a nested event loop, so it goes later.
    l->throttle->clear();
    l->throttle.release()->deleteLater();
    m_lanes.remove(lane);
    if (done)
        done(json);
}
