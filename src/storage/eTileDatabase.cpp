// eTileDatabase: tile operations, bulk batches, listing and checks over one
// SQLite tile table. See the header for the threading rules.
#include "storage/eTileDatabase.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace TVK {

namespace {

// Lines of SQLite's own integrity report kept; the rest are counted.
constexpr int kIntegrityLines = 20;

std::string Where() { return " WHERE zoom_level = ?1 AND tile_column = ?2 AND tile_row = ?3"; }

// The bytes a load returns for a tile. length() counts the characters of a
// text value; blobs, the usual case, keep the cheap length() that reads no
// data.
const char kTileBytes[] =
    "(CASE WHEN typeof(tile_data) = 'blob' THEN length(tile_data) ELSE "
    "length(CAST(tile_data AS BLOB)) END)";

// Content id of a deduplicated tile: 64-bit FNV-1a of the bytes and their
// size. Two contents that meet on one id are told apart by comparing bytes
// (SaveDeduplicated), so a collision costs a suffix, never a wrong tile.
eString ContentId(const unsigned char* data, unsigned int size) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned int i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
    char text[48];
    std::snprintf(text, sizeof(text), "%016" PRIx64 "-%u", hash, size);
    return text;
}

eString Text(const char* format, int64_t a, int64_t b = 0) {
    char text[160];
    std::snprintf(text, sizeof(text), format, a, b);
    return text;
}

}  // namespace

// One connection and the statements prepared on it. The database is declared
// first, so the statements are finalised before it closes.
struct eTileDatabase::tagConnection {
    eSqliteDb Db;
    eSqliteStmt Exists, Load;
    // Writing connection only.
    eSqliteStmt Insert, Delete, FindImage, InsertImage;
    bool Replace = false;  // Insert replaces a stored tile by itself
};

// A reading connection taken from the pool for one call.
class eTileDatabase::eLease {
public:
    explicit eLease(eTileDatabase& owner) : m_owner(owner), m_c(owner.TakeReader()) {}
    ~eLease() {
        if (m_c) m_owner.GiveBack(std::move(m_c));
    }
    eLease(const eLease&) = delete;
    eLease& operator=(const eLease&) = delete;
    tagConnection* Get() const { return m_c.get(); }

private:
    eTileDatabase& m_owner;
    std::unique_ptr<tagConnection> m_c;
};

eTileDatabase::eTileDatabase() = default;
eTileDatabase::~eTileDatabase() { ReleaseHandles(); }

bool eTileDatabase::Open(const eString& path, const tagTable& table,
                         std::vector<tagTileLevelMap> levels) {
    ReleaseHandles();
    m_strPath = path;
    m_table = table;
    m_levels = std::move(levels);
    {
        eMutexGuard lock(m_writeMutex);
        m_bTouched = false;
    }
    std::unique_ptr<tagConnection> first = OpenConnection(false);
    if (!first) return false;
    GiveBack(std::move(first));
    return true;
}

std::unique_ptr<eTileDatabase::tagConnection> eTileDatabase::OpenConnection(bool writer) {
    auto c = std::make_unique<tagConnection>();
    if (!c->Db.Open(m_strPath, writer ? eSqliteDb::OpenReadWrite : eSqliteDb::OpenReadOnly,
                    kBusyTimeoutMs))
        return nullptr;
    const std::string table = eSqliteDb::QuoteName(m_table.Name).Std();
    if (!c->Exists.Prepare(c->Db, ("SELECT 1 FROM " + table + Where() + " LIMIT 1").c_str()) ||
        !c->Load.Prepare(c->Db, ("SELECT tile_data FROM " + table + Where() + " LIMIT 1").c_str()))
        return nullptr;
    c->Db.UseMemoryMapIfLocal(m_strPath);
    if (!writer) return c;

    // A local file is switched to write-ahead logging once (the mode is kept
    // in the file); a failed switch leaves the rollback journal, which is as
    // safe, only slower.
    c->Db.UseWalIfLocal(m_strPath);
    // With WAL, NORMAL syncs at checkpoints only: a crash of the process
    // loses nothing; a power cut may lose the last commits but never
    // corrupts the file. A rollback journal keeps SQLite's full syncing.
    c->Db.Exec("PRAGMA synchronous = NORMAL");
    const eString target = m_table.Deduplicated ? eString("map") : m_table.Name;
    const std::string quoted = eSqliteDb::QuoteName(target).Std();
    const std::string value = m_table.Deduplicated ? "tile_id" : "tile_data";
    // Without a unique index on the address INSERT OR REPLACE would add a
    // second row; such tables get DELETE first, in the same transaction.
    const bool replace = c->Db.HasUniqueIndexOn(target, "zoom_level", "tile_column", "tile_row");
    const std::string insert = std::string(replace ? "INSERT OR REPLACE INTO " : "INSERT INTO ") +
                               quoted + " (zoom_level, tile_column, tile_row, " + value +
                               ") VALUES (?1, ?2, ?3, ?4)";
    if (!c->Insert.Prepare(c->Db, insert.c_str()) ||
        !c->Delete.Prepare(c->Db, ("DELETE FROM " + quoted + Where()).c_str()))
        return nullptr;
    if (m_table.Deduplicated &&
        (!c->FindImage.Prepare(c->Db, "SELECT tile_data FROM images WHERE tile_id = ?1") ||
         !c->InsertImage.Prepare(c->Db, "INSERT INTO images (tile_id, tile_data) VALUES (?1, ?2)")))
        return nullptr;
    c->Replace = replace;
    return c;
}

std::unique_ptr<eTileDatabase::tagConnection> eTileDatabase::TakeReader() {
    {
        eMutexGuard lock(m_poolMutex);
        if (!m_idle.empty()) {
            std::unique_ptr<tagConnection> c = std::move(m_idle.back());
            m_idle.pop_back();
            return c;
        }
    }
    // Opened outside the pool's lock: opening reads the file.
    return OpenConnection(false);
}

void eTileDatabase::GiveBack(std::unique_ptr<tagConnection> connection) {
    eMutexGuard lock(m_poolMutex);
    m_idle.push_back(std::move(connection));
}

bool eTileDatabase::Address(int level, int row, int col, int64_t& zoom, int64_t& tileCol,
                            int64_t& tileRow) const {
    if (level < 0 || static_cast<size_t>(level) >= m_levels.size()) return false;
    const tagTileLevelMap& map = m_levels[static_cast<size_t>(level)];
    if (map.Zoom < 0 || row < 0 || col < 0 || row >= map.Rows || col >= map.Cols) return false;
    zoom = map.Zoom;
    tileCol = col;
    tileRow = m_table.RowsFromBottom ? int64_t(map.Rows) - 1 - row : row;
    return true;
}

eTileDatabase::tagConnection* eTileDatabase::Writer() {
    if (!m_pWriter) m_pWriter = OpenConnection(true);
    return m_pWriter.get();
}

bool eTileDatabase::ReadTile(tagConnection& c, int64_t zoom, int64_t tileCol, int64_t tileRow,
                             eByteArray* data) {
    eSqliteStmt& stmt = data != nullptr ? c.Load : c.Exists;
    bool found = stmt.BindInt(1, zoom) && stmt.BindInt(2, tileCol) && stmt.BindInt(3, tileRow) &&
                 stmt.Step() == eSqliteStmt::Row;
    // A NULL tile_data is no tile.
    if (found && data != nullptr)
        found = stmt.ColumnType(0) != eSqliteStmt::Null && stmt.ColumnBlob(0, *data);
    stmt.Reset();  // ends the read, so a checkpoint never waits for this connection
    return found;
}

template <typename Op>
unsigned char eTileDatabase::WithReader(Op op) {
    // While bulk writing, the batch's own tiles are only visible to the
    // writing connection.
    if (m_bBulk.load(std::memory_order_acquire)) {
        eMutexGuard lock(m_writeMutex);
        if (m_bBulk.load(std::memory_order_relaxed)) {
            tagConnection* c = Writer();
            return c != nullptr && op(*c) ? 1 : 0;
        }
    }
    eLease lease(*this);
    return lease.Get() != nullptr && op(*lease.Get()) ? 1 : 0;
}

unsigned char eTileDatabase::IsTileExist(int level, int row, int col) {
    int64_t zoom = 0, tileCol = 0, tileRow = 0;
    if (!Address(level, row, col, zoom, tileCol, tileRow)) return 0;
    return WithReader(
        [&](tagConnection& c) { return ReadTile(c, zoom, tileCol, tileRow, nullptr); });
}

unsigned char eTileDatabase::LoadTile(int level, int row, int col, eByteArray& data) {
    int64_t zoom = 0, tileCol = 0, tileRow = 0;
    if (!Address(level, row, col, zoom, tileCol, tileRow)) return 0;
    return WithReader([&](tagConnection& c) { return ReadTile(c, zoom, tileCol, tileRow, &data); });
}

bool eTileDatabase::BeginWrite(tagConnection& c, bool ownTransaction) {
    const bool bulk = m_bBulk.load(std::memory_order_relaxed);
    // IMMEDIATE takes the write lock up front (waiting as long as the busy
    // timeout allows): a transaction that read first and wrote later could
    // find its snapshot stale and fail at once, without waiting.
    if (bulk && !c.Db.InTransaction() && !c.Db.Exec("BEGIN IMMEDIATE")) return false;
    if (!bulk && ownTransaction && !c.Db.Exec("BEGIN IMMEDIATE")) return false;
    if (bulk && ownTransaction && !c.Db.Exec("SAVEPOINT tile")) return false;
    if (m_table.TouchContents && !m_bTouched) {
        eSqliteStmt touch;
        m_bTouched = touch.Prepare(c.Db,
                                   "UPDATE gpkg_contents SET last_change = "
                                   "strftime('%Y-%m-%dT%H:%M:%fZ', 'now') WHERE table_name = ?1") &&
                     touch.BindText(1, m_table.Name) && touch.Step() == eSqliteStmt::Done;
    }
    return true;
}

bool eTileDatabase::EndWrite(tagConnection& c, bool ownTransaction, bool written, int64_t bytes) {
    if (!m_bBulk.load(std::memory_order_relaxed)) {
        if (!ownTransaction) return written;
        if (written && c.Db.Exec("COMMIT")) return true;
        if (c.Db.InTransaction()) c.Db.Exec("ROLLBACK");
        return false;
    }
    if (ownTransaction && c.Db.InTransaction()) {
        // Undo this tile's own statements only; the batch stays.
        if (!written) c.Db.Exec("ROLLBACK TO tile");
        c.Db.Exec("RELEASE tile");
    }
    if (!c.Db.InTransaction()) {
        // SQLite undid the whole batch after a failure (a full disk): every
        // tile saved since the last commit is gone.
        if (m_nBatchTiles > 0) m_bBulkFailed = true;
        m_nBatchTiles = 0;
        m_nBatchBytes = 0;
        return false;
    }
    if (!written) return false;
    ++m_nBatchTiles;
    m_nBatchBytes += bytes;
    if (m_nBatchTiles < kBulkTiles && m_nBatchBytes < kBulkBytes) return true;
    m_nBatchTiles = 0;
    m_nBatchBytes = 0;
    if (c.Db.Exec("COMMIT")) return true;
    if (c.Db.InTransaction()) c.Db.Exec("ROLLBACK");
    m_bBulkFailed = true;
    return false;
}

unsigned char eTileDatabase::SaveTile(int level, int row, int col, const unsigned char* data,
                                      unsigned int size) {
    int64_t zoom = 0, tileCol = 0, tileRow = 0;
    if (!Address(level, row, col, zoom, tileCol, tileRow)) return 0;
    if (data == nullptr && size != 0) return 0;
    if (size > static_cast<unsigned int>(std::numeric_limits<int32_t>::max())) return 0;
    eMutexGuard lock(m_writeMutex);
    tagConnection* c = Writer();
    if (c == nullptr) return 0;
    const bool own = m_table.Deduplicated || !c->Replace;
    if (!BeginWrite(*c, own)) return 0;
    bool written = false;
    if (m_table.Deduplicated) {
        written = SaveDeduplicated(*c, zoom, tileCol, tileRow, data, size);
    } else {
        written = true;
        if (!c->Replace) {
            written = c->Delete.BindInt(1, zoom) && c->Delete.BindInt(2, tileCol) &&
                      c->Delete.BindInt(3, tileRow) && c->Delete.Step() == eSqliteStmt::Done;
            c->Delete.Reset();
        }
        written = written && c->Insert.BindInt(1, zoom) && c->Insert.BindInt(2, tileCol) &&
                  c->Insert.BindInt(3, tileRow) && c->Insert.BindBlob(4, data, size) &&
                  c->Insert.Step() == eSqliteStmt::Done;
        c->Insert.Reset();
    }
    return EndWrite(*c, own, written, size) ? 1 : 0;
}

bool eTileDatabase::SaveDeduplicated(tagConnection& c, int64_t zoom, int64_t tileCol,
                                     int64_t tileRow, const unsigned char* data,
                                     unsigned int size) {
    // The content's id, or the first free variant of it when other bytes
    // already own the id.
    const eString base = ContentId(data, size);
    eString id = base;
    eByteArray stored;
    bool found = false;
    for (int suffix = 1;; ++suffix) {
        const bool bound = c.FindImage.BindText(1, id);
        const eSqliteStmt::EmStep step = bound ? c.FindImage.Step() : eSqliteStmt::Error;
        const bool same = step == eSqliteStmt::Row && c.FindImage.ColumnBlob(0, stored) &&
                          stored.GetSize() == static_cast<eInt>(size) &&
                          (size == 0 || std::memcmp(stored.GetData(), data, size) == 0);
        c.FindImage.Reset();
        if (step == eSqliteStmt::Error) return false;
        if (step == eSqliteStmt::Done) break;
        if (same) {
            found = true;
            break;
        }
        id = base + Text("-%" PRId64, suffix);
    }
    if (!found) {
        const bool inserted = c.InsertImage.BindText(1, id) &&
                              c.InsertImage.BindBlob(2, data, size) &&
                              c.InsertImage.Step() == eSqliteStmt::Done;
        c.InsertImage.Reset();
        if (!inserted) return false;
    }
    // Images another address no longer uses stay behind as dead space (the
    // check counts them): finding them would cost a scan of the map.
    bool written = true;
    if (!c.Replace) {
        written = c.Delete.BindInt(1, zoom) && c.Delete.BindInt(2, tileCol) &&
                  c.Delete.BindInt(3, tileRow) && c.Delete.Step() == eSqliteStmt::Done;
        c.Delete.Reset();
    }
    written = written && c.Insert.BindInt(1, zoom) && c.Insert.BindInt(2, tileCol) &&
              c.Insert.BindInt(3, tileRow) && c.Insert.BindText(4, id) &&
              c.Insert.Step() == eSqliteStmt::Done;
    c.Insert.Reset();
    return written;
}

unsigned char eTileDatabase::RemoveTile(int level, int row, int col) {
    int64_t zoom = 0, tileCol = 0, tileRow = 0;
    if (!Address(level, row, col, zoom, tileCol, tileRow)) return 0;
    eMutexGuard lock(m_writeMutex);
    tagConnection* c = Writer();
    if (c == nullptr || !BeginWrite(*c, false)) return 0;
    const bool removed = c->Delete.BindInt(1, zoom) && c->Delete.BindInt(2, tileCol) &&
                         c->Delete.BindInt(3, tileRow) && c->Delete.Step() == eSqliteStmt::Done;
    c->Delete.Reset();
    return EndWrite(*c, false, removed, 0) ? 1 : 0;
}

void eTileDatabase::BeginBulkWrite() {
    eMutexGuard lock(m_writeMutex);
    if (m_bBulk.load(std::memory_order_relaxed)) return;
    m_nBatchTiles = 0;
    m_nBatchBytes = 0;
    m_bBulkFailed = false;
    m_bBulk.store(true, std::memory_order_release);
}

unsigned char eTileDatabase::EndBulkWrite() {
    eMutexGuard lock(m_writeMutex);
    if (!m_bBulk.load(std::memory_order_relaxed)) return 1;
    m_bBulk.store(false, std::memory_order_release);
    bool ok = !m_bBulkFailed;
    if (m_pWriter && m_pWriter->Db.InTransaction()) {
        if (!m_pWriter->Db.Exec("COMMIT")) {
            if (m_pWriter->Db.InTransaction()) m_pWriter->Db.Exec("ROLLBACK");
            ok = false;
        }
    }
    m_nBatchTiles = 0;
    m_nBatchBytes = 0;
    m_bBulkFailed = false;
    return ok ? 1 : 0;
}

void eTileDatabase::ReleaseHandles() {
    EndBulkWrite();
    {
        eMutexGuard lock(m_writeMutex);
        m_pWriter.reset();
    }
    eMutexGuard lock(m_poolMutex);
    m_idle.clear();
}

// ---- listing and checks ----

bool eTileDatabase::ListPage(int level, int64_t& afterCol, int64_t& afterRow,
                             std::vector<tagStoredTile>& page, bool& more) {
    page.clear();
    more = false;
    if (level < 0 || static_cast<size_t>(level) >= m_levels.size()) return true;
    const tagTileLevelMap& map = m_levels[static_cast<size_t>(level)];
    if (map.Zoom < 0) return true;
    // Row values keep the walk on the unique index: each page starts where
    // the last ended, without scanning what came before.
    const std::string sql = "SELECT tile_column, tile_row, " + std::string(kTileBytes) + " FROM " +
                            eSqliteDb::QuoteName(m_table.Name).Std() +
                            " WHERE zoom_level = ?1 AND (tile_column, tile_row) > (?2, ?3) "
                            "ORDER BY tile_column, tile_row LIMIT " +
                            std::to_string(kListPage);
    eLease lease(*this);
    eSqliteStmt stmt;
    if (lease.Get() == nullptr || !stmt.Prepare(lease.Get()->Db, sql.c_str()) ||
        !stmt.BindInt(1, map.Zoom) || !stmt.BindInt(2, afterCol) || !stmt.BindInt(3, afterRow))
        return false;
    eSqliteStmt::EmStep step;
    int rows = 0;
    while ((step = stmt.Step()) == eSqliteStmt::Row) {
        ++rows;
        afterCol = stmt.ColumnInt(0);
        afterRow = stmt.ColumnInt(1);
        const int64_t row = m_table.RowsFromBottom ? int64_t(map.Rows) - 1 - afterRow : afterRow;
        if (afterCol < 0 || afterCol >= map.Cols || row < 0 || row >= map.Rows ||
            stmt.ColumnType(2) == eSqliteStmt::Null)
            continue;
        tagStoredTile tile;
        tile.Level = level;
        tile.Row = static_cast<int32_t>(row);
        tile.Col = static_cast<int32_t>(afterCol);
        tile.Size = stmt.ColumnInt(2);
        page.push_back(tile);
    }
    more = rows == kListPage;
    return step == eSqliteStmt::Done;
}

void eTileDatabase::Check(int level, const eString& path, std::vector<tagCacheFinding>& findings,
                          tagCacheTotals& totals) {
    auto finding = [&](eCacheCheck::EmFinding kind, int64_t size, int64_t expected,
                       const eString& detail) {
        tagCacheFinding f;
        f.Kind = kind;
        f.Path = path;
        f.Size = size;
        f.Expected = expected;
        f.Detail = detail;
        findings.push_back(f);
    };
    eLease lease(*this);
    if (lease.Get() == nullptr) {
        finding(eCacheCheck::FileUnreadable, -1, -1, eString());
        return;
    }
    eSqliteDb& db = lease.Get()->Db;

    if (level < 0) {
        eSqliteStmt stmt;
        int lines = 0;
        eSqliteStmt::EmStep step = eSqliteStmt::Error;
        if (stmt.Prepare(db, "PRAGMA integrity_check")) {
            while ((step = stmt.Step()) == eSqliteStmt::Row) {
                const eString line = stmt.ColumnText(0);
                if (line == "ok") break;
                if (++lines <= kIntegrityLines) finding(eCacheCheck::DatabaseDamaged, -1, -1, line);
            }
        }
        if (step == eSqliteStmt::Error) {
            finding(eCacheCheck::DatabaseDamaged, -1, -1, db.ErrorText());
            return;
        }
        if (lines > kIntegrityLines)
            finding(eCacheCheck::DatabaseDamaged, -1, -1,
                    Text("... and %" PRId64 " more findings of the integrity check",
                         lines - kIntegrityLines));
    }

    const std::string table = eSqliteDb::QuoteName(m_table.Name).Std();
    // One level's rows, or all of them.
    int32_t onlyZoom = -1;
    if (level >= 0) {
        if (static_cast<size_t>(level) >= m_levels.size() ||
            m_levels[static_cast<size_t>(level)].Zoom < 0)
            return;
        onlyZoom = m_levels[static_cast<size_t>(level)].Zoom;
    }
    const std::string where =
        onlyZoom >= 0 ? " WHERE zoom_level = " + std::to_string(onlyZoom) : "";
    const std::string andWhere = onlyZoom >= 0 ? where + " AND " : " WHERE ";

    // Tiles per zoom level, against the levels the storage can address.
    eSqliteStmt perZoom;
    if (!perZoom.Prepare(
            db, ("SELECT zoom_level, count(*), sum(tile_column < 0), "
                 "max(tile_column), sum(tile_row < 0), max(tile_row), "
                 "sum(" +
                 std::string(kTileBytes) + ") FROM " + table + where + " GROUP BY zoom_level")
                    .c_str())) {
        finding(eCacheCheck::DatabaseDamaged, -1, -1, db.ErrorText());
        return;
    }
    eSqliteStmt::EmStep step;
    while ((step = perZoom.Step()) == eSqliteStmt::Row) {
        const int64_t zoom = perZoom.ColumnInt(0);
        const int64_t count = perZoom.ColumnInt(1);
        const tagTileLevelMap* map = nullptr;
        for (const tagTileLevelMap& candidate : m_levels) {
            if (candidate.Zoom == zoom && perZoom.ColumnType(0) == eSqliteStmt::Integer)
                map = &candidate;
        }
        if (map == nullptr) {
            finding(eCacheCheck::TilesNeverRead, count, zoom, eString());
            continue;
        }
        int64_t outside = 0;
        if (perZoom.ColumnInt(2) > 0 || perZoom.ColumnInt(4) > 0 ||
            perZoom.ColumnInt(3) >= map->Cols || perZoom.ColumnInt(5) >= map->Rows) {
            eSqliteStmt stmt;
            const std::string sql = "SELECT count(*), sum(" + std::string(kTileBytes) + ") FROM " +
                                    table +
                                    " WHERE zoom_level = ?1 AND (tile_column < 0 OR tile_column "
                                    ">= ?2 OR tile_row < 0 OR tile_row >= ?3)";
            if (stmt.Prepare(db, sql.c_str()) && stmt.BindInt(1, zoom) &&
                stmt.BindInt(2, map->Cols) && stmt.BindInt(3, map->Rows) &&
                stmt.Step() == eSqliteStmt::Row) {
                outside = stmt.ColumnInt(0);
                totals.Bytes -= stmt.ColumnInt(1);
            }
            finding(eCacheCheck::TilesNeverRead, outside, zoom, eString());
        }
        totals.Tiles += count - outside;
        totals.Bytes += perZoom.ColumnInt(6);
    }
    if (step == eSqliteStmt::Error) {
        finding(eCacheCheck::DatabaseDamaged, -1, -1, db.ErrorText());
        return;
    }

    int64_t empty = 0;
    if (db.QueryInt(("SELECT count(*) FROM " + table + andWhere + "(tile_data IS NULL OR " +
                     kTileBytes + " = 0)")
                        .c_str(),
                    empty) &&
        empty > 0)
        finding(eCacheCheck::TileDataMissing, empty, -1, eString());

    const eString target = m_table.Deduplicated ? eString("map") : m_table.Name;
    if (!db.HasUniqueIndexOn(target, "zoom_level", "tile_column", "tile_row")) {
        int64_t duplicates = 0;
        if (db.QueryInt(("SELECT count(*) FROM (SELECT 1 FROM " + table + where +
                         " GROUP BY zoom_level, tile_column, tile_row HAVING count(*) > 1)")
                            .c_str(),
                        duplicates) &&
            duplicates > 0)
            finding(eCacheCheck::DuplicateAddress, duplicates, -1, eString());
        if (level < 0)
            finding(eCacheCheck::FormatUnusual, -1, -1,
                    "no unique index on (zoom_level, tile_column, tile_row): lookups scan the "
                    "table and nothing stops duplicates");
    }
    if (m_table.Deduplicated && level < 0) {
        int64_t missing = 0, unused = 0;
        if (db.QueryInt("SELECT count(*) FROM map WHERE tile_id NOT IN (SELECT tile_id FROM "
                        "images)",
                        missing) &&
            missing > 0)
            finding(eCacheCheck::ImageMissing, missing, -1, eString());
        if (db.QueryInt("SELECT count(*) FROM images WHERE tile_id NOT IN (SELECT tile_id FROM "
                        "map)",
                        unused) &&
            unused > 0)
            finding(eCacheCheck::FormatUnusual, -1, -1,
                    Text("%" PRId64 " images are used by no address (dead space)", unused));
    }
}

}  // namespace TVK
