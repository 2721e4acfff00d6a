#pragma once
// Where a password is read from, so that it never stands on a command line: a file only its
// owner can read, a systemd credential, or the output of a command such as a keyring lookup.
#include <cstddef>
#include <string>

// The longest password line taken from any source.
const size_t kMaxSecretBytes = 1024;

// The first line of a password file: a regular file, not a symbolic link, that belongs to this
// user and that only this user can read (chmod 600).
bool readSecretFile(const std::string &path, std::string &secret, std::string &error);

// $CREDENTIALS_DIRECTORY: where systemd put the credentials of this service; empty outside one.
std::string credentialsDirectory();

// The first line of the systemd credential `name` ($CREDENTIALS_DIRECTORY/name). The service
// manager made it readable by this service alone, so its owner and mode are not checked here.
bool readCredential(const std::string &name, std::string &secret, std::string &error);
// The same for a file under $CREDENTIALS_DIRECTORY named by its path.
bool readCredentialFile(const std::string &path, std::string &secret, std::string &error);

// The first line that a command prints on its standard output. It runs without a shell unless it
// holds shell syntax (quotes, $, |, ...); its standard input is /dev/null and its standard error
// is ours. Its output is read up to a bound, and it fails when it exits with a non-zero status or
// runs longer than timeoutSeconds.
bool runPasswordCommand(const std::string &command, std::string &secret, std::string &error,
                        int timeoutSeconds = 120);

// Takes the secret in the environment variable `name`: false when it is not set. The variable is
// removed and its text wiped, so that neither a child process nor a reader of
// /proc/<pid>/environ (which shows the environment as the program was started) finds it.
bool takeSecretFromEnvironment(const char *name, std::string &secret);
