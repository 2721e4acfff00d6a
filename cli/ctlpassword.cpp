#include "ctlpassword.h"

#include "secretsource.h"

#include <sys/stat.h>

const char kCtlPasswordCredential[] = "vyx-password";

namespace {

bool credentialLoaded() {
    const std::string dir = credentialsDirectory();
    struct stat st {};
    return !dir.empty() && ::lstat((dir + "/" + kCtlPasswordCredential).c_str(), &st) == 0;
}

} // namespace

bool ctlPassword(const CtlOptions &o, CtlOutput &output, std::string &password) {
    std::string error;
    bool ok = true;
    if (!o.passwordFile.empty()) {
        ok = readSecretFile(o.passwordFile, password, error);
    } else if (!o.passwordCommand.empty()) {
        ok = runPasswordCommand(o.passwordCommand, password, error);
    } else if (o.passwordOption) {
        output.note(
            "-P shows the password to every local user (ps); use --password-file or --password-command");
        password = o.password;
    } else if (credentialLoaded()) {
        ok = readCredential(kCtlPasswordCredential, password, error);
    } else if (o.envPasswordSet) {
        output.note("the password comes from $VYX_PASSWORD, which stays readable in the environment of "
                    "what started vyxctl; use --password-file, --password-command or a systemd credential");
        password = o.envPassword;
    } else {
        password = "admin";
    }
    if (!ok)
        output.fail("no password: " + error);
    return ok;
}
