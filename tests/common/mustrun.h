#pragma once

// A test that cannot have what it needs (a network namespace, the server simulator) skips on a
// developer's machine, but on CI (CI=true) that would turn a missing end-to-end run into a green
// result: there it fails instead.

#include <QByteArray>
#include <QtTest>

namespace MustRun {

inline bool skipsAreFailures() {
    return qgetenv("CI") == "true";
}

} // namespace MustRun

// In a QtTest case: skip with `reason`, or fail with it under CI=true.
#define VYX_SKIP_OR_FAIL_ON_CI(reason)                                                                       \
    do {                                                                                                     \
        if (MustRun::skipsAreFailures())                                                                     \
            QFAIL(QByteArray(QByteArray("CI=true: must not skip: ") + QByteArray(reason)).constData());      \
        QSKIP(QByteArray(reason).constData());                                                               \
    } while (false)
