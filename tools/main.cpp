// Entry point of `tvk`: builds the subcommands, parses the command line and
// runs the subcommand given. Parse errors are usage errors (exit 2); --help
// prints the help and succeeds.
#include <cstdio>
#include <iostream>

#include "cli.h"

namespace TVK {
namespace cli {

int eCommandTable::RunParsed() const {
    for (const auto& entry : m_Entries) {
        if (entry.first->parsed()) return entry.second();
    }
    return kExitUsage;
}

}  // namespace cli
}  // namespace TVK

int main(int argc, char** argv) {
    using namespace TVK::cli;
    CLI::App app{"tvk: inspect, fill, copy and check tile caches", "tvk"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Help for every subcommand");

    eCommandTable table;
    RegisterInfo(app, table);
    RegisterCreate(app, table);
    RegisterTileCommands(app, table);
    RegisterTiles(app, table);
    RegisterLs(app, table);
    RegisterCopy(app, table);
    RegisterVerify(app, table);
    RegisterCoverage(app, table);
    RegisterSeed(app, table);
    RegisterDemoFill(app, table);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    const int code = table.RunParsed();
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "tvk: standard output: write failed\n");
        return code == kExitOk ? kExitFailed : code;
    }
    return code;
}
