// eTileDatabase: the tiles of a cache kept in one SQLite table (MBTiles,
// GeoPackage), addressed by the storage's (level, row, column).
//
// Every such table has the columns zoom_level, tile_column, tile_row and
// tile_data. A level of the storage maps onto one zoom_level and a matrix of
// rows x columns; addresses outside the matrix have no place in the file and
// every operation refuses them. MBTiles counts rows from the bottom (TMS):
// stored row = rows - 1 - row.
//
// Threads: reads run side by side, each on a connection of its own taken from
// a pool (a connection is never used by two threads at once). Writes share
// one connection under a mutex, and SQLite's file locks with a busy timeout
// order them against every other connection and process; files on a local
// disk use write-ahead logging, so writers never block readers. ReleaseHandles
// and the destructor must run while no other thread uses the object.
//
// Bulk writing groups saves and removals into transactions of many tiles.
// Until the batch commits, other connections (and processes) do not see its
// tiles, and a failure that undoes the batch (a full disk) loses every tile
// saved since the last commit: the failing call and EndBulkWrite then
// return 0. While bulk writing, reads go through the writing connection, so
// this object sees its own tiles at once.
//
// Private to the library; TVK_API only for the test and benchmark programs.
#ifndef TVK_STORAGE_ETILEDATABASE_H
#define TVK_STORAGE_ETILEDATABASE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "eCacheCheck.h"
#include "eTileListing.h"
#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eSqlite.h"
#include "platform/eString.h"
#include "platform/eThread.h"
#include "platform/eThreadAnnotations.h"

namespace TVK {

// Where one level of the storage lives in the table.
struct tagTileLevelMap {
    int32_t Zoom = -1;  // zoom_level; -1 for a level the file has no place for
    int32_t Rows = 0;   // matrix height: rows 0 .. Rows - 1 exist
    int32_t Cols = 0;   // matrix width
};

class TVK_API eTileDatabase {
public:
    struct tagTable {
        eString Name;                 // table or view holding the four columns
        bool RowsFromBottom = false;  // MBTiles' TMS row order
        // MBTiles' "map" + "images" under a "tiles" view: saves store the
        // bytes once per distinct content and point the address at them.
        bool Deduplicated = false;
        // GeoPackage: keep gpkg_contents.last_change current (once per writing session).
        bool TouchContents = false;
    };

    // Saves per transaction while bulk writing, and bytes, whichever comes first.
    static constexpr int kBulkTiles = 4096;
    static constexpr int64_t kBulkBytes = 64 << 20;
    // How long a call waits for another connection's lock.
    static constexpr int kBusyTimeoutMs = 60000;

    eTileDatabase();
    ~eTileDatabase();
    eTileDatabase(const eTileDatabase&) = delete;
    eTileDatabase& operator=(const eTileDatabase&) = delete;

    // Serves the table of the file at path. Opens one reading connection to
    // prove the file and the table are there; the writing connection opens
    // at the first write (so read-only files and folders serve reads).
    bool Open(const eString& path, const tagTable& table, std::vector<tagTileLevelMap> levels);
    const eString& GetPath() const { return m_strPath; }
    const tagTable& GetTable() const { return m_table; }
    const std::vector<tagTileLevelMap>& GetLevels() const { return m_levels; }

    // The four tile operations; 1 for success / yes, 0 otherwise. A save
    // replaces a stored tile; a removal answers 1 also when there was none.
    unsigned char IsTileExist(int level, int row, int col);
    unsigned char LoadTile(int level, int row, int col, eByteArray& data);
    unsigned char SaveTile(int level, int row, int col, const unsigned char* data,
                           unsigned int size);
    unsigned char RemoveTile(int level, int row, int col);

    void BeginBulkWrite();
    // Commits the open batch; 0 when it or an earlier batch of this bulk
    // write failed.
    unsigned char EndBulkWrite();

    // Commits an open batch and closes every connection.
    void ReleaseHandles();

    // Rows per page of a listing.
    static constexpr int kListPage = 4096;

    // One page of the tiles of a level, in the order of the table's index
    // (column, then row as stored), after the stored position (afterCol,
    // afterRow), which moves on to the page's last row; more tells whether a
    // full page came. Rows whose address has no place in the storage are left
    // out (Check reports them). The read ends with the call. False when the
    // file cannot be read.
    bool ListPage(int level, int64_t& afterCol, int64_t& afterRow, std::vector<tagStoredTile>& page,
                  bool& more);

    // SQLite's integrity check (whole file only), then the rows of the table
    // (one level's, or all with level < 0): addresses the storage cannot
    // reach, NULL or empty tile data, duplicate addresses, images missing
    // from a deduplicated file. Adds the tiles and bytes a load finds to
    // totals. Findings name path.
    void Check(int level, const eString& path, std::vector<tagCacheFinding>& findings,
               tagCacheTotals& totals);

private:
    struct tagConnection;
    class eLease;

    std::unique_ptr<tagConnection> OpenConnection(bool writer);
    std::unique_ptr<tagConnection> TakeReader();
    void GiveBack(std::unique_ptr<tagConnection> connection);
    // Level, row and column to zoom_level, tile_column, tile_row; false when
    // the address has no place in the file.
    bool Address(int level, int row, int col, int64_t& zoom, int64_t& tileCol,
                 int64_t& tileRow) const;
    // The writing connection, opened on first use.
    tagConnection* Writer() TVK_REQUIRES(m_writeMutex);
    // Opens a transaction for the write to come (the bulk batch, or one of
    // its own for a write of several statements).
    bool BeginWrite(tagConnection& c, bool ownTransaction) TVK_REQUIRES(m_writeMutex);
    // Commits or rolls back what BeginWrite opened and tells whether the
    // write stands.
    bool EndWrite(tagConnection& c, bool ownTransaction, bool written, int64_t bytes)
        TVK_REQUIRES(m_writeMutex);
    bool SaveDeduplicated(tagConnection& c, int64_t zoom, int64_t tileCol, int64_t tileRow,
                          const unsigned char* data, unsigned int size) TVK_REQUIRES(m_writeMutex);
    // Runs op on the connection reads use now; 1 when it answered true.
    template <typename Op>
    unsigned char WithReader(Op op);
    bool ReadTile(tagConnection& c, int64_t zoom, int64_t tileCol, int64_t tileRow,
                  eByteArray* data);

    eString m_strPath;
    tagTable m_table;
    std::vector<tagTileLevelMap> m_levels;

    eMutex m_poolMutex;
    std::vector<std::unique_ptr<tagConnection>> m_idle TVK_GUARDED_BY(m_poolMutex);

    // Guards the writing connection and the bulk batch below.
    eMutex m_writeMutex;
    std::unique_ptr<tagConnection> m_pWriter TVK_GUARDED_BY(m_writeMutex);
    bool m_bTouched TVK_GUARDED_BY(m_writeMutex) = false;  // last_change set this session
    int m_nBatchTiles TVK_GUARDED_BY(m_writeMutex) = 0;
    int64_t m_nBatchBytes TVK_GUARDED_BY(m_writeMutex) = 0;
    bool m_bBulkFailed TVK_GUARDED_BY(m_writeMutex) = false;
    // Read without the mutex by readers, to pick their connection.
    std::atomic<bool> m_bBulk{false};
};

}  // namespace TVK

#endif
