// Writing a PMTiles archive in one pass: tiles are collected in any order,
// then Finish lays the archive out and publishes it whole.
//
// While collecting, tile bytes go to a spill file beside the target and only
// a small record per tile stays in memory (id, place in the spill file,
// length, content hash: 32 bytes). Finish sorts the records by tile id (the
// last tile added for an id wins), stores identical tiles once (hash, then a
// byte comparison), merges runs of consecutive ids with the same tile,
// builds the root directory (leaf directories when the root would not fit
// in the first 16 KiB), writes header, root, metadata, leaves and the
// clustered tile data into a temporary file beside the target and renames
// it into place. Until then nothing exists at the target's name; an
// abandoned writer removes its files.
//
// AddTile may be called from any number of threads at once; Begin, Finish
// and Abandon from one thread while no AddTile runs.
//
// Private to the library; TVK_API only for the tests and benchmarks.
#ifndef TVK_PMTILES_EPMTILESWRITER_H
#define TVK_PMTILES_EPMTILESWRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/eExport.h"
#include "platform/eString.h"
#include "platform/eTempFile.h"
#include "platform/eThread.h"
#include "pmtiles/ePMTilesFormat.h"

namespace TVK {

class TVK_API ePMTilesWriter {
public:
    struct tagSettings {
        unsigned char TileType = pmtiles::TileUnknown;
        std::string Name;    // metadata "name"
        std::string Format;  // metadata "format": "png", "jpg", "pbf"...
    };

    ePMTilesWriter() = default;
    // Abandons an archive that was begun and not finished.
    ~ePMTilesWriter() { Abandon(); }
    ePMTilesWriter(const ePMTilesWriter&) = delete;
    ePMTilesWriter& operator=(const ePMTilesWriter&) = delete;

    // Starts a new archive at path; false (with GetLastError) when something
    // is already there or the spill file cannot be made.
    bool Begin(const eString& path, const tagSettings& settings);
    bool IsBegun() const { return !m_strPath.IsEmpty(); }
    // Collects one tile. False for an address outside level 0-31 or its
    // grid, an empty tile, one of 4 GiB or more, before Begin or after a
    // failed write of the spill file (which fails Finish too).
    bool AddTile(int z, uint32_t x, uint32_t y, const unsigned char* data, size_t size);
    // Lays out and publishes the archive; false with GetLastError (and
    // nothing at the target's name) on failure. Either way the writer is
    // done and its spill file gone.
    bool Finish();
    // Drops everything collected; the target is never made.
    void Abandon();
    eString GetLastError() const;
    // Tiles added so far (every AddTile that succeeded).
    uint64_t GetAddedCount() const;

    // What Finish wrote, for callers that report it.
    const pmtiles::tagHeader& GetHeader() const { return m_header; }

private:
    struct tagPending {
        uint64_t TileId;
        uint64_t SpillOffset;  // also the order of adding: later tiles lie further on
        uint64_t Hash;
        uint32_t Length;
    };
    struct tagExtent {
        uint32_t MinX = UINT32_MAX, MaxX = 0, MinY = UINT32_MAX, MaxY = 0;
        bool Any = false;
    };

    bool FlushSpill() TVK_REQUIRES(m_mutex);
    bool SetError(const std::string& reason) TVK_REQUIRES(m_mutex);
    bool Publish() TVK_REQUIRES(m_mutex);

    mutable eMutex m_mutex;
    // Begin, Finish and Abandon change these, with no AddTile running.
    eString m_strPath;
    tagSettings m_settings;
    pmtiles::tagHeader m_header;

    eTempFile m_spill TVK_GUARDED_BY(m_mutex);
    std::vector<unsigned char> m_vecBuffer TVK_GUARDED_BY(m_mutex);  // spill bytes not yet written
    uint64_t m_nSpillWritten TVK_GUARDED_BY(m_mutex) = 0;            // spill bytes on disk
    std::vector<tagPending> m_vecPending TVK_GUARDED_BY(m_mutex);
    tagExtent m_extents[pmtiles::kMaxZoom + 1] TVK_GUARDED_BY(m_mutex);
    bool m_bAllGzip TVK_GUARDED_BY(m_mutex) = true;  // every tile so far is a gzip stream
    bool m_bBroken TVK_GUARDED_BY(m_mutex) = false;
    std::string m_strError TVK_GUARDED_BY(m_mutex);
};

}  // namespace TVK

#endif
