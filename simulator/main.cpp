// vyxsim: a stand-in for the automation server, for development and end-to-end tests.
#include "simlog.h"
#include "simoptions.h"
#include "simparameters.h"
#include "simsandbox.h"
#include "simserver.h"
#include "simusers.h"

#include <cstdio>

int main(int argc, char **argv) {
    SimOptions options;
    std::string error;
    int parsed = parseSimOptions(argc, argv, options, error);
    if (parsed == 1) {
        std::fputs(simUsageText(), stdout);
        return 0;
    }
    if (parsed != 0) {
        std::fprintf(stderr, "vyxsim: %s\n%s", error.c_str(), simUsageText());
        return 2;
    }
    SimLog::setQuiet(options.quiet);
    if (options.passwordOnCommandLine)
        std::fputs("vyxsim: --password shows the password to every local user (ps); use --password-file\n",
                   stderr);

    SimUsers users;
    if (!options.usersFile.empty()) {
        if (!users.loadFile(options.usersFile, error)) {
            std::fprintf(stderr, "vyxsim: %s\n", error.c_str());
            return 2;
        }
    } else {
        users.add(options.user, options.password);
    }

    SimParameters parameters;
    if (!options.paramsFile.empty()) {
        if (!parameters.loadFile(options.paramsFile, error)) {
            std::fprintf(stderr, "vyxsim: %s\n", error.c_str());
            return 2;
        }
    } else if (options.paramsCount) {
        parameters.loadSynthetic(options.paramsCount);
    } else {
        parameters.loadDefaults();
    }

    SimSandbox sandbox;
    if (!sandbox.open(options.root, options.dbInitialSize, error)) {
        std::fprintf(stderr, "vyxsim: %s\n", error.c_str());
        return 1;
    }
    SimLog::line("sandbox " + options.root + ", " + std::to_string(parameters.size()) + " parameters, " +
                 std::to_string(users.size()) + " user(s)");

    SimServer server(options, users, sandbox, parameters);
    return server.run();
}
