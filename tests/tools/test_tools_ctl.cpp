// vyxctl's session against a real vyxsim: what the client hears before its connection is ready.
#include "ctlsession.h"
#include "simframes.h"
#include "simsession.h"

#include <gtest/gtest.h>
#include <kvt_error.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A simulator on a free loopback port, stopped with the test.
class Simulator {
public:
    Simulator() {
        char dir[] = "/tmp/vyxctltest.XXXXXX";
        if (!mkdtemp(dir))
            return;
        m_root = dir;
        int out[2];
        if (pipe(out) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            const std::string root = m_root + "/root";
            execl(VYXSIM_PATH, "vyxsim", "--port", "0", "--no-discovery", "--quiet", "--root", root.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        ::close(out[1]);
        FILE *f = fdopen(out[0], "r");
        if (f && std::fscanf(f, "LISTENING %d", &m_port) != 1)
            m_port = 0;
        if (f)
            std::fclose(f);
    }
    ~Simulator() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        if (!m_root.empty())
            std::system(("rm -rf '" + m_root + "'").c_str());
    }
    int port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_root;
};

// A parameter frame as the monitor channel would deliver it.
kvt::kvtOlmoFrame parameterFrame(uint32_t id, uint32_t value) {
    SimSession reader(-1, "test");
    reader.input = SimFrames::uint(id, kvt::kvtOlmoKindPhysical, value);
    kvt::kvtOlmoFrame f;
    EXPECT_EQ(reader.extract(f), SimSession::Frame);
    return f;
}

} // namespace

TEST(CtlSession, FramesBeforeTheConnectionIsReadyAreBounded) {
    kvt::kvtErrorOutputs = 0; // the SDK's console reports would only bury the result
    Simulator sim;
    ASSERT_GT(sim.port(), 0) << "vyxsim did not start";
    CtlOptions options;
    options.port = sim.port();
    options.timeoutSeconds = 30;
    CtlOutput output(false, stdout);
    CtlSession session(options, output);
    // A flooding server: far more frames reach the client than the bound before its channels
    // are up (the parameter is not in the simulator's table, so only these carry it).
    const uint32_t flooded = 777;
    const uint32_t sent = 10000;
    for (uint32_t i = 0; i < sent; ++i) {
        kvt::kvtOlmoFrame f = parameterFrame(flooded, i);
        session.client().OnRead(&f);
    }
    testing::internal::CaptureStderr();
    ASSERT_EQ(session.connect(), 0);
    const std::string notes = testing::internal::GetCapturedStderr();
    EXPECT_NE(notes.find("more than 4096 frames before the connection was ready"), std::string::npos)
        << notes;
    EXPECT_EQ(notes.find("more than 4096", notes.find("more than 4096") + 1), std::string::npos)
        << "the drop is noted once: " << notes;

    // The first ones are kept, in order; everything past the bound is gone.
    CtlEvent e;
    uint32_t kept = 0;
    while (session.waitFor(e, 2000) == CtlSession::Got) {
        if (e.type != CtlEvent::Frame || e.frame->GetCode() != flooded)
            break;
        ASSERT_EQ(e.frame->GetAsUInt(), kept);
        ++kept;
    }
    EXPECT_EQ(kept, 4096u);
    // The connection works after the flood: the server answers a question.
    session.client().QueryParametersUID();
    bool answered = false;
    const auto until = session.deadline();
    while (!answered && session.wait(e, until) == CtlSession::Got)
        answered = e.type == CtlEvent::Frame && e.frame->GetCode() == kvt::CmdQueryParametersUID;
    EXPECT_TRUE(answered);
}
