// Running the built `tvk` executable from tests: a temporary folder per
// test, a child process per command, its exit code and both output streams.
#ifndef TVK_TESTS_TOOLS_CLI_RUNNER_H
#define TVK_TESTS_TOOLS_CLI_RUNNER_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace clitest {

struct tagRun {
    int Code = -1;     // exit code; -1 when the process did not exit normally
    std::string Out;   // standard output
    std::string Err;   // standard error
};

// Path of the tool under test; empty when the build did not make it.
std::string TvkPath();

// Runs tvk with the arguments and waits for it.
tagRun RunTvk(const std::vector<std::string>& args);
// Starts tvk with standard output into `out` (discarded by default) and
// standard error discarded; the caller waits for or kills it.
pid_t StartTvk(const std::vector<std::string>& args, const std::string& out = "/dev/null");

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
std::vector<std::string> Lines(const std::string& text);

// A fresh folder for one test, removed afterwards; skips the test when the
// tool was not built.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    std::string m_dir;
};

}  // namespace clitest

#endif
