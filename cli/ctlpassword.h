#pragma once
// The password of a command that logs in to one server, from the first source there is:
// --password-file, --password-command or -P (one of them; -P with a warning, since ps shows it),
// the systemd credential "vyx-password", $VYX_PASSWORD (with a warning: it stays readable in the
// process's environment), and else the server's default "admin".
#include "ctloptions.h"
#include "ctloutput.h"

#include <string>

extern const char kCtlPasswordCredential[];

// False, with the reason printed, when a source that was named cannot be read.
bool ctlPassword(const CtlOptions &options, CtlOutput &output, std::string &password);
