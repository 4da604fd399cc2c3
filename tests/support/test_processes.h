// Test helpers for other programs: run one (or the built `tvk`) to its end,
// or keep one (a server) running for the length of a test, and find a free
// loopback port.
#ifndef TVK_TESTS_SUPPORT_TEST_PROCESSES_H
#define TVK_TESTS_SUPPORT_TEST_PROCESSES_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace tvktest {

struct tagProgramRun {
    int Code = -1;       // exit code; -1 when it did not exit normally or did not start
    std::string Output;  // standard output and standard error together
};

// Runs argv[0] (looked up in PATH) to its end; killed after timeoutSeconds.
tagProgramRun RunProgram(const std::vector<std::string>& argv, int timeoutSeconds = 120);

// The built tool; empty when it was not built.
std::string TvkPath();
struct tagRun {
    int Code = -1;    // exit code; -1 when the process did not exit normally
    std::string Out;  // standard output
    std::string Err;  // standard error
};
// Runs tvk with the arguments and waits for it.
tagRun RunTvk(const std::vector<std::string>& args);
// Starts tvk with standard output into `out` and standard error discarded;
// the caller waits for or kills it.
pid_t StartTvk(const std::vector<std::string>& args, const std::string& out);

// True when the program is found in PATH.
bool HaveProgram(const std::string& name);

// A program started in its own process group, its output into a file;
// stopped (SIGTERM, then SIGKILL after two seconds) and waited for when the
// object goes.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& logPath);
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool Started() const { return m_pid > 0; }
    // True while the process has not exited.
    bool Running();
    void Stop();

private:
    pid_t m_pid = -1;
};

// A port on 127.0.0.1 that nothing listens on at the time of the call.
int FreeLoopbackPort();
// Waits up to timeoutMs for something to accept connections on the port.
bool WaitForPort(int port, int timeoutMs = 5000);

// nginx (Debian's nginx-light) on a free loopback port serving the folder
// "www" of dir, with its own configuration, logs and pid file in dir/nginx;
// stopped when the object goes.
bool HaveNginx();
class Nginx {
public:
    explicit Nginx(const TempDir& dir);
    bool Up() const { return m_bUp; }
    const fs::path& Www() const { return m_www; }
    std::string Url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(m_nPort) + "/" + name;
    }
    // Its error log, for failure messages.
    std::string Log() const { return ReadText(m_www.parent_path() / "nginx/error.log"); }

private:
    fs::path m_www;
    int m_nPort = -1;
    bool m_bUp = false;
    std::unique_ptr<ChildProcess> m_pProcess;
};

}  // namespace tvktest

#endif
