#pragma once

// Discovery sends to 255.255.255.255 and 226.0.0.1, which must never leave this machine. Tests
// that search therefore run their real cases again inside a network namespace of their own, with
// nothing but loopback and the discovery addresses routed to it.

#include "mustrun.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QNetworkInterface>
#include <QProcess>
#include <QStringList>

namespace OwnNetworkNamespace {

// The argument by which the program knows it runs inside the new namespace.
inline const char *childFlag() {
    return "--inside-own-network-namespace";
}

struct Outcome {
    enum Kind { Passed, Skipped, Failed } kind;
    QByteArray reason;
};

// More arguments for the run inside the namespace (QtTest's own: case names, -v2, ...); a main()
// that keeps them from the launcher's QtTest run puts them here.
inline QStringList &childArguments() {
    static QStringList args;
    return args;
}

// Runs this program again with childFlag() under `unshare -n`; Skipped when this machine cannot
// make such a namespace.
inline Outcome relaunchSelf(int timeoutMs = 150000) {
    QProcess probe;
    probe.start(QStringLiteral("unshare"),
                {QStringLiteral("-n"), QStringLiteral("ip"), QStringLiteral("link"), QStringLiteral("set"),
                 QStringLiteral("lo"), QStringLiteral("up")});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0) {
        return {Outcome::Skipped, "cannot make a network namespace with loopback (unshare -n, ip): " +
                                      probe.readAllStandardError().trimmed() + probe.errorString().toUtf8()};
    }

    static const char setup[] = "ip link set lo up && ip link set lo multicast on && "
                                "ip route add 224.0.0.0/4 dev lo src 127.0.0.1 && "
                                "ip route add 255.255.255.255/32 dev lo src 127.0.0.1 && "
                                "exec \"$0\" \"$@\"";
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QStringLiteral("unshare"),
                QStringList{QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"),
                            QString::fromLatin1(setup), QCoreApplication::applicationFilePath(),
                            QString::fromLatin1(childFlag())} +
                    childArguments());
    if (!child.waitForStarted(10000))
        return {Outcome::Failed, "the test could not start again under unshare"};
    if (!child.waitForFinished(timeoutMs))
        return {Outcome::Failed, "the cases inside the namespace did not finish in time"};
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return {Outcome::Failed, "cases failed inside the namespace (their output is above)"};
    return {Outcome::Passed, {}};
}

// True only where loopback is the single interface, so nothing sent can leave the machine.
inline bool onlyLoopback() {
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    return interfaces.size() == 1 && (interfaces.constFirst().flags() & QNetworkInterface::IsLoopBack);
}

} // namespace OwnNetworkNamespace

// The body of a launcher test case: relaunch, then report the outcome as a skip (a failure under
// CI=true), pass or failure. An optional argument is the time the cases inside may take, in
// milliseconds.
#define VYX_RUN_IN_OWN_NETWORK_NAMESPACE(...)                                                                \
    do {                                                                                                     \
        const OwnNetworkNamespace::Outcome outcome = OwnNetworkNamespace::relaunchSelf(__VA_ARGS__);         \
        if (outcome.kind == OwnNetworkNamespace::Outcome::Skipped)                                           \
            VYX_SKIP_OR_FAIL_ON_CI(outcome.reason);                                                          \
        QVERIFY2(outcome.kind == OwnNetworkNamespace::Outcome::Passed, outcome.reason.constData());          \
    } while (false)
