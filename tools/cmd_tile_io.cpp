// tvk get / put / rm: one tile by address.
#include <cstdio>
#include <memory>

#include "cache_open.h"
#include "cli.h"
#include "toolkit.h"

namespace TVK {
namespace cli {

std::string AddressText(int level, int row, int col) {
    return "level " + std::to_string(level) + " row " + std::to_string(row) + " column " +
           std::to_string(col);
}

namespace {

// PMTiles archives are written whole, once; a single tile cannot change.
int RefuseWriteOnce(const eOpenCache& cache) {
    return Fail(kExitFailed, cache.ConfigPath,
                "is a PMTiles archive, which is written once: `tvk copy` makes a new one");
}

}  // namespace

int PutTile(eOpenCache& cache, int level, int row, int col, const unsigned char* data, int64_t size,
            bool replace, const std::string& replaceHint) {
    eTileStorage& storage = *cache.Storage;
    if (cache.Layout == eLayout::PMTiles) return RefuseWriteOnce(cache);
    if (size <= 0) return Fail(kExitUsage, cache.ConfigPath, "an empty tile is no tile");
    if (size > static_cast<int64_t>(UINT32_MAX))
        return Fail(kExitUsage, cache.ConfigPath,
                    "a tile of " + std::to_string(size) + " bytes is too large to store");
    if (storage.IsTileExist(level, row, col)) {
        if (!replace)
            return Fail(kExitFailed, cache.ConfigPath,
                        "already holds a tile at " + AddressText(level, row, col) + replaceHint,
                        eFailKind::Exists);
        // Bundles never overwrite a record: the old one is unlinked first and
        // stays in the data file as dead space.
        if (IsBundled(cache.Layout) && !storage.RemoveTile(level, row, col))
            return Fail(kExitFailed, cache.ConfigPath,
                        "cannot remove the old tile at " + AddressText(level, row, col));
    }
    if (!storage.SaveImageData(level, row, col, data, static_cast<unsigned int>(size)))
        return Fail(kExitFailed, cache.ConfigPath,
                    "cannot store the tile at " + AddressText(level, row, col));
    return kExitOk;
}

namespace {

struct tagAddressOptions {
    std::string Cache;
    int Level = 0, Row = 0, Col = 0;
    std::string File;  // get -o / put input
    bool Replace = false;
};

std::string Where(const tagAddressOptions& opt) { return AddressText(opt.Level, opt.Row, opt.Col); }

void AddAddress(CLI::App* sub, tagAddressOptions& opt) {
    AddCacheArgument(sub, opt.Cache);
    sub->add_option("LEVEL", opt.Level, "Level")->required();
    sub->add_option("ROW", opt.Row, "Row (0 is the top row)")->required();
    sub->add_option("COL", opt.Col, "Column (0 is the left column)")->required();
}

int RunGet(const tagAddressOptions& opt) {
    eOpenCache cache;
    if (const int code = OpenCache(opt.Cache, cache)) return code;
    if (const int code = CheckLevel(cache, opt.Level)) return code;
    eByteArray data;
    if (!cache.Storage->LoadImageData(opt.Level, opt.Row, opt.Col, data) || data.GetSize() == 0)
        return Fail(kExitFailed, cache.ConfigPath, "no tile at " + Where(opt));
    if (opt.File.empty() || opt.File == "-") {
        if (std::fwrite(data.GetData(), 1, static_cast<size_t>(data.GetSize()), stdout) !=
            static_cast<size_t>(data.GetSize()))
            return Fail(kExitFailed, "standard output", "write failed");
        return kExitOk;
    }
    // Written beside the target and renamed, so a failed write leaves no half file.
    const std::string temp = opt.File + ".temp";
    eFile out;
    if (!out.Open(temp, eFile::CreateTruncate))
        return Fail(kExitFailed, opt.File, "cannot be created");
    const bool written = out.WriteAt(0, data.GetData(), data.GetSize());
    const bool closed = out.Close();
    if (!written || !closed || !eFile::Rename(temp, opt.File)) {
        eFile::Delete(temp);
        return Fail(kExitFailed, opt.File, "write failed");
    }
    return kExitOk;
}

int RunPut(const tagAddressOptions& opt) {
    eOpenCache cache;
    if (const int code = OpenCache(opt.Cache, cache)) return code;
    if (const int code = CheckLevel(cache, opt.Level)) return code;
    if (cache.Layout == eLayout::PMTiles) return RefuseWriteOnce(cache);
    eFileStream in;
    eByteArray data;
    if (!in.Open(opt.File.c_str(), eFileStream::Read))
        return Fail(kExitFailed, opt.File, "cannot be opened");
    if (!in.LoadByteArray(data)) return Fail(kExitFailed, opt.File, "cannot be read");
    if (data.GetSize() == 0)
        return Fail(kExitFailed, opt.File, "is empty; an empty tile is no tile");
    return PutTile(cache, opt.Level, opt.Row, opt.Col, data.GetData(), data.GetSize(), opt.Replace,
                   " (use --replace)");
}

int RunRm(const tagAddressOptions& opt) {
    eOpenCache cache;
    if (const int code = OpenCache(opt.Cache, cache)) return code;
    if (const int code = CheckLevel(cache, opt.Level)) return code;
    if (cache.Layout == eLayout::PMTiles) return RefuseWriteOnce(cache);
    eTileStorage& storage = *cache.Storage;
    if (!storage.IsTileExist(opt.Level, opt.Row, opt.Col))
        return Fail(kExitFailed, cache.ConfigPath, "no tile at " + Where(opt));
    if (!storage.RemoveTile(opt.Level, opt.Row, opt.Col))
        return Fail(kExitFailed, cache.ConfigPath, "cannot remove the tile at " + Where(opt));
    return kExitOk;
}

}  // namespace

void RegisterTileCommands(CLI::App& app, eCommandTable& table) {
    auto get = std::make_shared<tagAddressOptions>();
    CLI::App* sub =
        app.add_subcommand("get", "Write one tile's bytes to standard output or a file");
    AddAddress(sub, *get);
    sub->add_option("-o,--output", get->File, "Output file (default: standard output)");
    table.Add(sub, [get]() { return RunGet(*get); });

    auto put = std::make_shared<tagAddressOptions>();
    sub = app.add_subcommand("put", "Store a file as one tile");
    AddAddress(sub, *put);
    sub->add_option("FILE", put->File, "File holding the tile's encoded bytes")->required();
    sub->add_flag("--replace", put->Replace, "Replace a tile already stored there");
    table.Add(sub, [put]() { return RunPut(*put); });

    auto rm = std::make_shared<tagAddressOptions>();
    sub = app.add_subcommand("rm", "Remove one tile");
    AddAddress(sub, *rm);
    table.Add(sub, [rm]() { return RunRm(*rm); });
}

}  // namespace cli
}  // namespace TVK
