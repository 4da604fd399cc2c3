#include "support/test_processes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/test_files.h"

namespace tvktest {

namespace {

// Standard output into out, standard error into err (the same file when
// empty); with ownGroup, in a process group of its own with no standard input.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& out,
            const std::string& err = "", bool ownGroup = true) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (ownGroup) ::setpgid(0, 0);
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = err.empty() ? fd : ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = ownGroup ? ::open("/dev/null", O_RDONLY) : 0;
        if (fd < 0 || e < 0 || null < 0 || ::dup2(fd, 1) < 0 || ::dup2(e, 2) < 0 ||
            (ownGroup && ::dup2(null, 0) < 0))
            ::_exit(127);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

// Waits for the child up to ms; true when it exited (status filled).
bool WaitFor(pid_t pid, int ms, int& status) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || done < 0) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

tagProgramRun RunProgram(const std::vector<std::string>& argv, int timeoutSeconds) {
    const TempDir io;
    const std::string out = io.Str() + "/out";
    tagProgramRun run;
    const pid_t pid = Spawn(argv, out);
    if (pid <= 0) return run;
    int status = 0;
    if (!WaitFor(pid, timeoutSeconds * 1000, status)) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        run.Output = ReadText(out) + "\n(killed after " + std::to_string(timeoutSeconds) + " s)";
        return run;
    }
    if (WIFEXITED(status)) run.Code = WEXITSTATUS(status);
    run.Output = ReadText(out);
    return run;
}

#ifndef TVK_CLI_PATH
#define TVK_CLI_PATH ""
#endif
std::string TvkPath() { return TVK_CLI_PATH; }

tagRun RunTvk(const std::vector<std::string>& args) {
    const TempDir io;
    const std::string out = io.Str() + "/out", err = io.Str() + "/err";
    std::vector<std::string> argv = {TvkPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    tagRun run;
    int status = 0;
    const pid_t pid = Spawn(argv, out, err, false);
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        run.Code = WEXITSTATUS(status);
    run.Out = ReadText(out);
    run.Err = ReadText(err);
    return run;
}

pid_t StartTvk(const std::vector<std::string>& args, const std::string& out) {
    std::vector<std::string> argv = {TvkPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return Spawn(argv, out, "/dev/null", false);
}

bool HaveProgram(const std::string& name) {
    return RunProgram({"sh", "-c", "command -v " + name}, 10).Code == 0;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logPath)
    : m_pid(Spawn(argv, logPath)) {}

bool ChildProcess::Running() {
    if (m_pid <= 0) return false;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == 0) return true;
    m_pid = -1;
    return false;
}

void ChildProcess::Stop() {
    if (m_pid <= 0) return;
    int status = 0;
    ::kill(-m_pid, SIGTERM);
    if (!WaitFor(m_pid, 2000, status)) {
        ::kill(-m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
}

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t length = sizeof addr;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

bool WaitForPort(int port, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        const bool up =
            fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (fd >= 0) ::close(fd);
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

namespace {
const char kNginx[] = "/usr/sbin/nginx";
}

bool HaveNginx() { return fs::exists(kNginx); }

Nginx::Nginx(const TempDir& dir) : m_www(dir / "www") {
    fs::create_directories(m_www);
    fs::create_directories(dir / "nginx");
    m_nPort = FreeLoopbackPort();
    const std::string d = (dir / "nginx").string();
    WriteText(dir / "nginx/nginx.conf",
              "daemon off;\nworker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " + d +
                  "/error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
                  "  client_body_temp_path " +
                  d + "/body;\n  proxy_temp_path " + d + "/proxy;\n  fastcgi_temp_path " + d +
                  "/fastcgi;\n  uwsgi_temp_path " + d + "/uwsgi;\n  scgi_temp_path " + d +
                  "/scgi;\n  server {\n    listen 127.0.0.1:" + std::to_string(m_nPort) +
                  ";\n    root " + m_www.string() + ";\n  }\n}\n");
    m_pProcess = std::make_unique<ChildProcess>(
        std::vector<std::string>{kNginx, "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"},
        d + "/out.log");
    m_bUp = WaitForPort(m_nPort);
}

}  // namespace tvktest
