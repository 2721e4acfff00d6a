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

class SimHandler {
public:
    SimHandler(const SimOptions &options, SimSandbox &sandbox, SimParameters &parameters, SimRouter &router);

    void handle(SimSession &command, const kvt::kvtOlmoFrame &frame);
    // Once a second: live parameter changes, and the log and bus messages of the clients that
    // switched them on.
    void tick(unsigned count);
    // Pushes count value changes spread over the table to every monitor channel; returns how
    // many it made.
    size_t liveChanges(size_t count);
    // "VALUE <id> <value text>" for every parameter, one a line, in id order.
    std::string valuesReport() const;
    void periodicFor(SimSession &command, unsigned count);

private:
    // handle's table: one row per command code, each with its step below.
    struct Command;
    static const Command kCommands[];

    void parameter(SimSession &c, const kvt::kvtOlmoFrame &f);
    void parameterList(SimSession &c, const kvt::kvtOlmoFrame &f);
    void parameterDescription(SimSession &c, const kvt::kvtOlmoFrame &f);
    void parameterReady(SimSession &c, const kvt::kvtOlmoFrame &f);
    void dbMd5(SimSession &c, const kvt::kvtOlmoFrame &f);
    void dbMaxSize(SimSession &c, const kvt::kvtOlmoFrame &f);
    void clientLevel(SimSession &c, const kvt::kvtOlmoFrame &f);
    void folderDelete(SimSession &c, const kvt::kvtOlmoFrame &f);
    void folderCreate(SimSession &c, const kvt::kvtOlmoFrame &f);
    void fileDelete(SimSession &c, const kvt::kvtOlmoFrame &f);
    void fileCreate(SimSession &c, const kvt::kvtOlmoFrame &f);
    void fileMd5(SimSession &c, const kvt::kvtOlmoFrame &f);
    void clientsCount(SimSession &c, const kvt::kvtOlmoFrame &f);
    void timeStamp(SimSession &c, const kvt::kvtOlmoFrame &f);
    void broadcast(SimSession &c, const kvt::kvtOlmoFrame &f);
    void serverVersion(SimSession &c, const kvt::kvtOlmoFrame &f);
    void rawBus(SimSession &c, const kvt::kvtOlmoFrame &f);
    void logClients(SimSession &c, const kvt::kvtOlmoFrame &f);
    void projectJson(SimSession &c, const kvt::kvtOlmoFrame &f);
    void userInterface(SimSession &c, const kvt::kvtOlmoFrame &f);
    void download(SimSession &c, const kvt::kvtOlmoFrame &f);
    void fileAppend(SimSession &c, const kvt::kvtOlmoFrame &f);
    void dbChange(SimSession &c, const kvt::kvtOlmoFrame &f);
    void commandLine(SimSession &c, const kvt::kvtOlmoFrame &f);
    void zephron(SimSession &c, const kvt::kvtOlmoFrame &f);
    void fileOperation(SimSession &c, uint32_t code, const std::string &path, const SimResult &r,
                       const char *member);
    void switchFlag(SimSession &c, const kvt::kvtOlmoFrame &f, bool &flag, const char *what);

    const SimOptions &m_options;
    SimSandbox &m_sandbox;
    SimParameters &m_parameters;
    SimRouter &m_router;
    SimCommandLines m_commandLines;
    std::map<std::string, std::string> m_userInterfaces;
    unsigned m_busTelegrams = 0;
};
