#pragma once
// Answers the frames a client sends on its command channel: parameters, the server command set,
// the configuration transfer, broadcasts, command lines and Zephron frames.
#include "simcommandlines.h"
#include "simoptions.h"
#include "simparameters.h"
#include "simrouter.h"
#include "simsandbox.h"

#include <kvt_olmoframe.h>

#include <map>
#include <string>

class SimSession;

class SimHandler
{
public:
    SimHandler(const SimOptions& options, SimSandbox& sandbox, SimParameters& parameters,
               SimRouter& router);

    void handle(SimSession& command, const kvt::kvtOlmoFrame& frame);
    // Once a second: live parameter changes, and the log and bus messages of the clients that
    // switched them on.
    void tick(unsigned count);
    // Pushes count value changes spread over the table to every monitor channel.
    void liveChanges(size_t count);
    void periodicFor(SimSession& command, unsigned count);

private:
    void parameter(SimSession& c, const kvt::kvtOlmoFrame& f);
    void userInterface(SimSession& c, const kvt::kvtOlmoFrame& f);
    void download(SimSession& c, const kvt::kvtOlmoFrame& f);
    void fileAppend(SimSession& c, const kvt::kvtOlmoFrame& f);
    void dbChange(SimSession& c, const kvt::kvtOlmoFrame& f);
    void commandLine(SimSession& c, const kvt::kvtOlmoFrame& f);
    void zephron(SimSession& c, const kvt::kvtOlmoFrame& f);
    void fileOperation(SimSession& c, uint32_t code, const std::string& path, const SimResult& r,
                       const char* member);
    void switchFlag(SimSession& c, const kvt::kvtOlmoFrame& f, bool& flag, const char* what);

    const SimOptions& m_options;
    SimSandbox& m_sandbox;
    SimParameters& m_parameters;
    SimRouter& m_router;
    SimCommandLines m_commandLines;
    std::map<std::string, std::string> m_userInterfaces;
    unsigned m_busTelegrams = 0;
};
