#pragma once
// The commands of vyxctl; each returns the process exit code.
#include "ctloptions.h"
#include "ctloutput.h"
#include "ctlsession.h"

#include <memory>
#include <set>
#include <string>

struct sockaddr_in;

class CtlCommands {
public:
    CtlCommands(const CtlOptions &options, CtlOutput &output);

    int run();

    // Value of a parameter frame as text, by its value type.
    static std::string valueText(const kvt::kvtIOlmoFrame &f);
    static const char *typeName(int type);

private:
    using FramePtr = std::shared_ptr<kvt::kvtIOlmoFrame>;

    int usage(const std::string &message);
    // Runs a command that changes the server between its journal intent and result.
    int journaled(const char *kind, int (CtlCommands::*fn)());
    int lost(const char *what);
    int timedOut(const char *what);
    // Waits for the Response with this code; other frames are passed to `other` when given.
    int answer(uint32_t code, FramePtr &out, const char *what);
    // Reads "err" and "info" of a JSON answer; false when the text is not JSON.
    static bool jsonResult(const kvt::kvtIOlmoFrame &f, int &err, std::string &info);

    int discover();
    void sendDiscoveryQuery(int fd, const sockaddr_in &to);
    void readDiscoveryAnswer(int fd, std::set<std::string> &found);
    int ping();
    int params();
    int putBlocks(const std::string &local, const std::string &remote, uint64_t size);
    // One line (and record) of the params listing.
    void printValue(uint32_t id, const kvt::kvtIOlmoFrame &f);
    int get();
    int set();
    // Waits for the server's notice of the change of parameter id (the confirmation of set).
    int confirmedChange(uint32_t id, FramePtr &out);
    int watch();
    int download();
    int upload();
    int dbMd5();
    int fileOperation();
    int put();
    int md5();
    int exec();
    int broadcast();
    int zephron();
    int busDebug();
    int confirmSent(const char *what);

    const CtlOptions &m_options;
    CtlOutput &m_output;
    std::unique_ptr<CtlSession> m_session;
    // Set when an answer never came (connection lost, time-out): the change's outcome is unknown.
    bool m_unanswered = false;
};
