// tvk verify CACHE: check the files of a cache without changing them.
//
// The library's check does the work (eCacheCheck): every bundle of a compact
// cache, every tile file of the others. Damage that loses or garbles tiles is
// a problem (exit 1); debris that costs only space, files the cache never
// reads and unusual header fields are warnings. Dead space is summed, not
// listed per bundle.
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "cache_open.h"
#include "cli.h"
#include "findings.h"

namespace TVK {
namespace cli {

namespace {

constexpr int kSlotReportsPerFile = 10;  // enough to see the pattern

// Prints findings, at most the first few damaged slots of one file by line
// so as not to flood the output; the count of problems stays exact.
class eFindingPrinter {
public:
    explicit eFindingPrinter(const eOpenCache& cache) : m_Cache(cache) {}

    void Print(const tagCacheFinding& finding) {
        const bool slot = finding.Slot >= 0 && eCacheCheck::IsDamage(finding.Kind);
        if (!slot || finding.Path != m_strSlotPath) Flush();
        if (!IsListedFinding(finding)) return;
        if (!eCacheCheck::IsDamage(finding.Kind)) {
            ++m_nWarnings;
        } else {
            ++m_nProblems;
            if (slot) {
                m_strSlotPath = finding.Path;
                if (++m_nSlots > kSlotReportsPerFile) return;
            }
        }
        std::printf("%s: %s: %s\n", eCacheCheck::IsDamage(finding.Kind) ? "problem" : "warning",
                    finding.Path.Cstr(), DescribeFinding(m_Cache, finding).c_str());
    }

    // The count of the slot lines left out, once the file's slots are done.
    void Flush() {
        if (m_nSlots > kSlotReportsPerFile) {
            std::printf("problem: %s: ... and %d more damaged %s\n", m_strSlotPath.Cstr(),
                        m_nSlots - kSlotReportsPerFile,
                        m_Cache.Layout == eLayout::CompactV2 ? "entries" : "slots");
        }
        m_nSlots = 0;
        m_strSlotPath.Empty();
    }

    int64_t Problems() const { return m_nProblems; }
    int64_t Warnings() const { return m_nWarnings; }

private:
    const eOpenCache& m_Cache;
    eString m_strSlotPath;
    int m_nSlots = 0;
    int64_t m_nProblems = 0;
    int64_t m_nWarnings = 0;
};

int RunVerify(const std::string& arg) {
    eOpenCache cache;
    if (const int code = OpenCache(arg, cache)) return code;
    eCacheCheck check(*cache.Storage);
    eFindingPrinter printer(cache);
    tagCacheFinding finding;
    while (check.Next(finding)) printer.Print(finding);
    printer.Flush();

    const tagCacheTotals& totals = check.GetTotals();
    if (IsBundled(cache.Layout)) {
        const int64_t total = totals.Bytes + totals.DeadBytes;
        std::printf("%s: %" PRId64 " bundles, %" PRId64 " tiles (%" PRId64 " bytes), %" PRId64
                    " bytes dead space (%.1f%%), ",
                    cache.ConfigPath.c_str(), totals.Bundles, totals.Tiles, totals.Bytes,
                    totals.DeadBytes, total > 0 ? 100.0 * totals.DeadBytes / total : 0.0);
    } else {
        std::printf("%s: %" PRId64 " tiles (%" PRId64 " bytes), ", cache.ConfigPath.c_str(),
                    totals.Tiles, totals.Bytes);
    }
    std::printf("%" PRId64 " problems, %" PRId64 " warnings: %s\n", printer.Problems(),
                printer.Warnings(), printer.Problems() > 0 ? "DAMAGED" : "OK");
    return printer.Problems() > 0 ? kExitFailed : kExitOk;
}

}  // namespace

void RegisterVerify(CLI::App& app, eCommandTable& table) {
    auto cache = std::make_shared<std::string>();
    CLI::App* sub =
        app.add_subcommand("verify", "Check a cache's bundles or tile files; exit 1 when damaged");
    AddCacheArgument(sub, *cache);
    table.Add(sub, [cache]() { return RunVerify(*cache); });
}

}  // namespace cli
}  // namespace TVK
