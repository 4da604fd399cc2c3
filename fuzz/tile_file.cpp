// Fuzz target: the input is a database file, opened as an MBTiles file or a
// GeoPackage (byte 0 chooses; the rest is the file). Reading its tables into
// a tiling scheme, listing, loading and checking it must not crash or hang,
// and the storage must agree with itself: every tile the listing names loads
// with the size the listing gave, and a save the storage accepts loads back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "eCacheCheck.h"
#include "eTileListing.h"
#include "eTileStorage.h"
#include "fuzz_support.h"
#include "platform/eSqlite.h"

namespace {

using tvkfuzz::Check;

// In memory where the system has such a folder: each input is written,
// journaled and synced, and a disk makes that the slow part.
std::string Folder() {
    static const bool memory = std::filesystem::is_directory("/dev/shm");
    if (memory) setenv("TMPDIR", "/dev/shm", 1);
    static const tvkfuzz::ScratchDir dir("tvk-fuzz-tile-file-");
    return dir.Path().string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 1) return 0;
    static const std::string mbtiles = Folder() + "/f.mbtiles";
    static const std::string gpkg = Folder() + "/f.gpkg";
    const std::string& path = (input[0] & 1) ? gpkg : mbtiles;
    // A journal or WAL left by the previous input would be replayed into this one.
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        TVK::eFile::Delete((path + suffix).c_str());
    if (!tvkfuzz::WriteAll(path, input + 1, size - 1)) return 0;

    TVK::eTileStorage storage;
    if (!storage.FromTileFile(path.c_str())) {
        Check(!storage.GetTileFileError().IsEmpty());
        return 0;
    }
    const int levels = static_cast<int>(storage.GetTileCoordSys().GetLevelCaptions().size());
    Check(levels > 0);

    // A damaged file may answer anything; a file with triggers may change
    // what is saved. The storage must agree with itself on the others.
    TVK::eCacheCheck check(storage);
    TVK::tagCacheFinding finding;
    bool sound = true;
    for (int found = 0; found < 256 && check.Next(finding); ++found)
        sound = sound && finding.Kind != TVK::eCacheCheck::DatabaseDamaged;
    int64_t triggers = 1;
    {
        TVK::eSqliteDb db;
        sound = sound && db.Open(path.c_str(), TVK::eSqliteDb::OpenReadOnly, 1000) &&
                db.QueryInt("SELECT count(*) FROM sqlite_master WHERE type = 'trigger'", triggers);
    }

    TVK::eTileListing listing(storage);
    TVK::tagStoredTile tile;
    TVK::eByteArray data;
    for (int listed = 0; listed < 64 && listing.Next(tile); ++listed) {
        Check(tile.Level >= 0 && tile.Level < levels);
        if (!sound) continue;
        Check(storage.IsTileExist(tile.Level, tile.Row, tile.Col) == 1);
        Check(storage.LoadImageData(tile.Level, tile.Row, tile.Col, data) == 1 &&
              data.GetSize() == tile.Size);
    }

    // A tile saved where the file has room loads back as it was.
    const unsigned char bytes[5] = {'f', 'u', 'z', 'z', '!'};
    if (storage.SaveImageData(0, 0, 0, bytes, sizeof(bytes)) && sound && triggers == 0) {
        Check(storage.LoadImageData(0, 0, 0, data) == 1 && data.GetSize() == 5 &&
              std::memcmp(data.GetData(), bytes, 5) == 0);
    }
    storage.ReleaseHandles();
    return 0;
}
