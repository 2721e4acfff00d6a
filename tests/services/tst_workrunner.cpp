// The work runner: a request's answer, interim answers and throttled progress reach the owner on
// its thread; a newer request of a lane drops everything the older one still sends; a cancel never
// waits for the job; destroying the runner ends its jobs.
#include "workrunner.h"

#include <QtTest>

#include <QSemaphore>

#include <atomic>
#include <memory>

class WorkRunnerTest : public QObject {
    Q_OBJECT

private slots:
    void answersAndInterimAnswersArriveInOrder();
    void progressIsThrottledAndItsNewestComesBeforeTheAnswer();
    void aLateAnswerOfAReplacedRequestIsDropped();
    void cancelReturnsWhileTheJobStillRuns();
    void destroyingTheRunnerEndsItsJobs();
};

void WorkRunnerTest::answersAndInterimAnswersArriveInOrder() {
    WorkRunner runner;
    QStringList got;
    WorkRunner::Handlers h;
    h.posted = [&](const QString &json) { got << QStringLiteral("posted ") + json; };
    h.done = [&](const QString &json) { got << QStringLiteral("done ") + json; };
    runner.start(
        QStringLiteral("lane"),
        [](WorkRunner::Job &job) {
            for (int i = 0; i < 100; ++i)
                job.post(QString::number(i));
            return QStringLiteral("end");
        },
        h);
    QVERIFY(runner.running(QStringLiteral("lane")));
    QTRY_COMPARE(got.size(), 101);
    for (int i = 0; i < 100; ++i)
        QCOMPARE(got.at(i), QStringLiteral("posted %1").arg(i));
    QCOMPARE(got.last(), QStringLiteral("done end"));
    QVERIFY(!runner.running(QStringLiteral("lane")));
}

void WorkRunnerTest::progressIsThrottledAndItsNewestComesBeforeTheAnswer() {
    WorkRunner runner;
    QStringList progress;
    QString answer;
    bool answeredAfterProgress = false;
    WorkRunner::Handlers h;
    h.progress = [&](const QString &json) { progress << json; };
    h.done = [&](const QString &json) {
        answer = json;
        answeredAfterProgress = !progress.isEmpty() && progress.last() == QStringLiteral("99999");
    };
    runner.start(
        QStringLiteral("lane"),
        [](WorkRunner::Job &job) {
            for (int i = 0; i < 100000; ++i)
                job.progress(QString::number(i));
            return QStringLiteral("end");
        },
        h);
    QTRY_COMPARE(answer, QStringLiteral("end"));
    // A page redrawn 100,000 times would do nothing else; the newest report is never lost.
    QVERIFY2(progress.size() < 1000, qPrintable(QString::number(progress.size())));
    QVERIFY(answeredAfterProgress);
    for (int i = 1; i < progress.size(); ++i)
        QVERIFY(progress.at(i).toInt() > progress.at(i - 1).toInt());
}

// The first request waits on a semaphore until the second one has answered; then it answers too,
// and its answer, its interim answers and its progress reach nobody.
void WorkRunnerTest::aLateAnswerOfAReplacedRequestIsDropped() {
    WorkRunner runner;
    QSemaphore release;
    QStringList got;
    const auto handlers = [&got](const QString &who) {
        WorkRunner::Handlers h;
        h.progress = [&got, who](const QString &json) { got << who + QStringLiteral(" progress ") + json; };
        h.posted = [&got, who](const QString &json) { got << who + QStringLiteral(" posted ") + json; };
        h.done = [&got, who](const QString &json) { got << who + QStringLiteral(" done ") + json; };
        return h;
    };
    std::atomic<bool> firstSawCancel{false};
    std::atomic<bool> firstStarted{false};
    std::atomic<bool> firstEnded{false};
    const quint64 first = runner.start(
        QStringLiteral("probe"),
        [&](WorkRunner::Job &job) {
            firstStarted = true;
            release.acquire();
            firstSawCancel = job.cancelled();
            job.progress(QStringLiteral("late"));
            job.post(QStringLiteral("late"));
            firstEnded = true;
            return QStringLiteral("late");
        },
        handlers(QStringLiteral("first")));
    QTRY_VERIFY(firstStarted.load());
    const quint64 second = runner.start(
        QStringLiteral("probe"), [](WorkRunner::Job &) { return QStringLiteral("fresh"); },
        handlers(QStringLiteral("second")));
    QVERIFY(second > first);
    QCOMPARE(runner.generation(QStringLiteral("probe")), second);
    QTRY_COMPARE(got, QStringList{QStringLiteral("second done fresh")});
    release.release();
    QTRY_VERIFY(firstEnded.load());
    QTRY_COMPARE(runner.jobsRunning(), 0);
    QCoreApplication::processEvents();
    QCOMPARE(got, QStringList{QStringLiteral("second done fresh")});
    QVERIFY(firstSawCancel.load());
}

void WorkRunnerTest::cancelReturnsWhileTheJobStillRuns() {
    WorkRunner runner;
    QSemaphore release;
    std::atomic<bool> started{false};
    std::atomic<bool> ended{false};
    bool answered = false;
    WorkRunner::Handlers h;
    h.done = [&](const QString &) { answered = true; };
    runner.start(
        QStringLiteral("import"),
        [&](WorkRunner::Job &) {
            started = true;
            release.acquire();
            ended = true;
            return QString();
        },
        h);
    QTRY_VERIFY(started.load());
    // The job cannot end before the semaphore is given: a cancel that waited for it would never
    // return.
    runner.cancel(QStringLiteral("import"));
    QVERIFY(!ended.load());
    QVERIFY(!runner.running(QStringLiteral("import")));
    release.release();
    QTRY_VERIFY(ended.load());
    QTRY_COMPARE(runner.jobsRunning(), 0);
    QCoreApplication::processEvents();
    QVERIFY(!answered);
}

void WorkRunnerTest::destroyingTheRunnerEndsItsJobs() {
    std::atomic<int> sawCancel{0};
    std::atomic<int> started{0};
    {
        WorkRunner runner(4);
        for (const QString &lane : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")})
            runner.start(
                lane,
                [&](WorkRunner::Job &job) {
                    ++started;
                    while (!job.cancelled())
                        QThread::msleep(5);
                    ++sawCancel;
                    return QString();
                },
                WorkRunner::Handlers());
        QTRY_COMPARE(started.load(), 3);
    }
    QCOMPARE(sawCancel.load(), 3);
}

QTEST_GUILESS_MAIN(WorkRunnerTest)
#include "tst_workrunner.moc"
