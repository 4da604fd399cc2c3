// Child processes for the tool tests.
#include "cli_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace clitest {

std::string TvkPath() {
#ifdef TVK_CLI_PATH
    return TVK_CLI_PATH;
#else
    return std::string();
#endif
}

namespace {

pid_t Spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    std::vector<char*> argv;
    std::string tool = TvkPath();
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(127);
        close(o);
        close(e);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

tagRun RunTvk(const std::vector<std::string>& args) {
    char outName[] = "/tmp/tvk_cli_outXXXXXX";
    char errName[] = "/tmp/tvk_cli_errXXXXXX";
    const int o = mkstemp(outName);
    const int e = mkstemp(errName);
    if (o >= 0) close(o);
    if (e >= 0) close(e);
    tagRun run;
    const pid_t pid = Spawn(args, outName, errName);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.Code = WEXITSTATUS(status);
    run.Out = ReadFile(outName);
    run.Err = ReadFile(errName);
    unlink(outName);
    unlink(errName);
    return run;
}

pid_t StartTvk(const std::vector<std::string>& args, const std::string& out) {
    return Spawn(args, out, "/dev/null");
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void CliTest::SetUp() {
    if (TvkPath().empty()) GTEST_SKIP() << "the tvk tool was not built";
    char dir[] = "/tmp/tvk_cli_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    m_dir = dir;
}

void CliTest::TearDown() {
    if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

}  // namespace clitest
