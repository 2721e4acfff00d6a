#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

// The bytes of a file, or "<missing>" when it cannot be read.
inline QByteArray readBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Writes a file, creating its folders.
inline void writeBytes(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(bytes) == bytes.size());
}

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Runs `write` in a child process after `limit` (one of the two below) has narrowed what the
// child may do. 1 when `write` answered true, 0 when it answered false, -1 when the child died.
inline int answerInChild(const std::function<void()> &limit, const std::function<bool()> &write) {
    const pid_t child = fork();
    if (child == 0) {
        limit();
        _exit(write() ? 1 : 0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Files cannot grow beyond `bytes`, as on a full disk (the signal that the limit raises is
// ignored, so writes fail with an error instead).
inline std::function<void()> fullDisk(qint64 bytes) {
    return [bytes] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit bound{rlim_t(bytes), rlim_t(bytes)};
        setrlimit(RLIMIT_FSIZE, &bound);
    };
}

// File permissions count: a child of root runs as nobody (whose files the test does not own).
inline std::function<void()> withoutPrivileges() {
    return [] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
    };
}
