// Shared pieces of the `tvk` command-line tool: exit codes, error reporting,
// the table that ties each subcommand to the function that runs it, and the
// parsers for the small texts the subcommands take (level ranges, boxes).
#ifndef TVK_TOOLS_CLI_H
#define TVK_TOOLS_CLI_H

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <tvk.h>

namespace TVK {
namespace cli {

// Exit codes: success, not found or failed check, usage error.
enum EmExit : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// Subcommands register here; main runs the one that was parsed.
class eCommandTable {
public:
    void Add(CLI::App* sub, std::function<int()> run) {
        m_Entries.emplace_back(sub, std::move(run));
    }
    // Exit code of the subcommand that was parsed; kExitUsage when none was.
    int RunParsed() const;

private:
    std::vector<std::pair<CLI::App*, std::function<int()>>> m_Entries;
};

void RegisterInfo(CLI::App& app, eCommandTable& table);
void RegisterCreate(CLI::App& app, eCommandTable& table);
void RegisterTileCommands(CLI::App& app, eCommandTable& table);  // get, put, rm
void RegisterTiles(CLI::App& app, eCommandTable& table);
void RegisterLs(CLI::App& app, eCommandTable& table);
void RegisterCopy(CLI::App& app, eCommandTable& table);
void RegisterVerify(CLI::App& app, eCommandTable& table);
void RegisterCoverage(CLI::App& app, eCommandTable& table);
void RegisterSeed(CLI::App& app, eCommandTable& table);
void RegisterDemoFill(CLI::App& app, eCommandTable& table);
void RegisterServe(CLI::App& app, eCommandTable& table);

// The required CACHE argument of the subcommands that read one cache.
void AddCacheArgument(CLI::App* sub, std::string& cache);

// What a failure was about, beyond its exit code: callers of the tool's
// functions in-process (the Python module) raise different errors for them.
enum class eFailKind { Other, Missing, Exists };

// "tvk: <subject>: <reason>" on standard error, or into the eFailCapture
// alive on this thread; returns code so that callers can write
// `return Fail(kExitFailed, path, "reason")`.
int Fail(int code, const std::string& subject, const std::string& reason,
         eFailKind kind = eFailKind::Other);

// While alive, Fail on this thread records its messages here instead of
// printing them: the first one's code and kind, every text ("subject:
// reason"), at most kMaxMessages of them and the count of the others.
class eFailCapture {
public:
    static constexpr size_t kMaxMessages = 10;
    eFailCapture();
    ~eFailCapture();
    eFailCapture(const eFailCapture&) = delete;
    eFailCapture& operator=(const eFailCapture&) = delete;

    bool Empty() const { return m_nCount == 0; }
    int Code() const { return m_nCode; }
    eFailKind Kind() const { return m_emKind; }
    const std::string& First() const { return m_Messages.front(); }
    // The messages, one a line, with "... and N more" after the last kept.
    std::string Text() const;
    void Add(int code, const std::string& text, eFailKind kind);

private:
    eFailCapture* m_pOuter;
    int m_nCode = 0;
    eFailKind m_emKind = eFailKind::Other;
    int64_t m_nCount = 0;
    std::vector<std::string> m_Messages;
};

// "A-B" or "A" into an inclusive range; false for anything else (A > B too).
bool ParseLevelRange(const std::string& text, int& first, int& last);
// "MINX,MINY,MAXX,MAXY" into a rectangle (top = MAXY); false unless all four
// numbers parse and MINX < MAXX, MINY < MAXY.
bool ParseBox(const std::string& text, eRect2D& rect);

// True when the stream (1 stdout, 2 stderr) is a terminal.
bool IsTerminal(int stream);

// Map rectangle of a lon/lat box: the corners and points along the edges
// projected, and their envelope taken, so curved edges are covered too.
// False when a point cannot be converted.
bool LonLatBoxToMap(const ePrjCoordSys& prj, const eRect2D& lonlat, eRect2D& map);

}  // namespace cli
}  // namespace TVK

#endif
