// vyxctl: a scriptable command-line client for the automation server.
#include "ctlcommands.h"
#include "ctloptions.h"
#include "ctloutput.h"

#include <kvt_error.h>

#include "terminaltext.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// -v shows the protocol library's warnings and errors; its notes (one per channel event) would
// bury them.
void reportToStderr(const kvt::kvtError &error) {
    if (error.GetNumber() == kvt::kvtInfo)
        return;
    std::fprintf(stderr, "%s\n", terminalSafe(error.GetText(), true).c_str());
}

// The protocol library writes its notes to standard output; results must own it alone. The real
// standard output is kept for results and fd 1 is pointed at stderr (verbose) or /dev/null.
FILE *takeStandardOutput(bool verbose) {
    std::fflush(stdout);
    int keep = fcntl(1, F_DUPFD_CLOEXEC, 3);
    FILE *out = keep >= 0 ? fdopen(keep, "w") : nullptr;
    int sink = verbose ? dup(2) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (sink >= 0) {
        dup2(sink, 1);
        close(sink);
    }
    return out ? out : stderr;
}

} // namespace

int main(int argc, char **argv) {
    CtlOptions options;
    std::string error;
    int parsed = parseCtlOptions(argc, argv, options, error);
    if (parsed == 1) {
        std::fputs(ctlUsageText(), stdout);
        return 0;
    }
    if (parsed != 0) {
        std::fprintf(stderr, "vyxctl: %s\n%s", error.c_str(), ctlUsageText());
        return 2;
    }
    kvt::kvtErrorOutputs = options.verbose ? uint32_t(kvt::kvtErrorOutputCallback) : 0u;
    kvt::kvtErrorCallback = reportToStderr;
    FILE *out = takeStandardOutput(options.verbose);
    CtlOutput output(options.json, out);
    int rc = CtlCommands(options, output).run();
    std::fflush(out);
    return rc;
}
