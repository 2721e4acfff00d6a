#pragma once

#include <QObject>
#include <QString>

#include <functional>

// Remembered passwords, kept in the desktop's Secret Service alone (through QtKeychain), one per
// site. Every call answers later, on the GUI thread: a keyring may be slow, or ask the user to
// unlock it. Each call first makes sure a Secret Service is running, so that nothing starts one
// (D-Bus activation would create a keyring file) and nothing is ever written anywhere else.
class PasswordKeyring : public QObject {
    Q_OBJECT

public:
    // available, or why not (a sentence for the user).
    using StatusAnswer = std::function<void(bool available, const QString &reason)>;
    // error empty: done; found tells whether the site has a remembered password.
    using ReadAnswer = std::function<void(bool found, const QString &password, const QString &error)>;
    using DoneAnswer = std::function<void(const QString &error)>;

    explicit PasswordKeyring(QObject *parent = nullptr);

    void checkAvailable(StatusAnswer answer);
    void read(const QString &site, ReadAnswer answer);
    void write(const QString &site, const QString &password, DoneAnswer answer);
    void remove(const QString &site, DoneAnswer answer);

private:
    // Runs `go` once a Secret Service is known to run, else hands the reason to `refuse`.
    void whenAvailable(std::function<void()> go, std::function<void(const QString &)> refuse);
};
