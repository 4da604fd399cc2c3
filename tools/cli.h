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

// The required CACHE argument of the subcommands that read one cache.
void AddCacheArgument(CLI::App* sub, std::string& cache);

// "tvk: <subject>: <reason>" on standard error; returns code so that callers
// can write `return Fail(kExitFailed, path, "reason")`.
int Fail(int code, const std::string& subject, const std::string& reason);

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
