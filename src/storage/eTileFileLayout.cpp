// eTileFileLayout: the layout of a cache kept in one SQLite file, an MBTiles
// file or a tile table of a GeoPackage.
//
// The layout opens the file the storage names at the first call, from
// whichever thread makes it, and serves every call through one
// eTileDatabase. MBTiles levels are placed by their tile width on the Web
// Mercator zoom levels (so any Web Mercator scheme reads its own levels); a
// GeoPackage's level n is its zoom_level n, with the matrices the file gives.
#include "storage/eTileFileLayout.h"

#include <atomic>
#include <limits>

#include "eTileStorage.h"
#include "platform/eThread.h"
#include "platform/eThreadAnnotations.h"
#include "storage/eCacheLayout.h"
#include "storage/eTileFile.h"

namespace TVK {

void SplitTileFileName(const eString& name, eString& path, eString& table) {
    const std::string& text = name.Std();
    const size_t mark = text.rfind("?table=");
    if (mark == std::string::npos) {
        path = name;
        table.Empty();
        return;
    }
    path = eString(text.substr(0, mark));
    table = eString(text.substr(mark + 7));
}

namespace {

class eTileFileLayout final : public eCacheLayout {
public:
    eTileFileLayout(const eTileStorage& storage, bool geoPackage)
        : eCacheLayout(storage), m_bGeoPackage(geoPackage) {}

    unsigned char IsTileExist(int level, int row, int col) override {
        eTileDatabase* db = Database();
        return db != nullptr ? db->IsTileExist(level, row, col) : 0;
    }
    unsigned char LoadTile(int level, int row, int col, eByteArray& data) override {
        eTileDatabase* db = Database();
        return db != nullptr ? db->LoadTile(level, row, col, data) : 0;
    }
    unsigned char SaveTile(int level, int row, int col, const unsigned char* data,
                           unsigned int size) override {
        eTileDatabase* db = Database();
        return db != nullptr ? db->SaveTile(level, row, col, data, size) : 0;
    }
    unsigned char RemoveTile(int level, int row, int col) override {
        eTileDatabase* db = Database();
        return db != nullptr ? db->RemoveTile(level, row, col) : 0;
    }
    void ReleaseHandles() override {
        if (eTileDatabase* db = m_pReady.load(std::memory_order_acquire)) db->ReleaseHandles();
    }
    void SettingsChanged() override {
        // No tile call runs meanwhile: settings are not changed under them.
        eMutexGuard lock(m_openMutex);
        m_pReady.store(nullptr, std::memory_order_release);
        m_pDatabase.reset();
    }
    void BeginBulkWrite() override {
        if (eTileDatabase* db = Database()) db->BeginBulkWrite();
    }
    unsigned char EndBulkWrite() override {
        eTileDatabase* db = m_pReady.load(std::memory_order_acquire);
        return db != nullptr ? db->EndBulkWrite() : 1;
    }

    std::unique_ptr<eTileSource> ListTiles(int firstLevel, int lastLevel) const override;
    std::unique_ptr<eFindingSource> CheckFiles(int level) const override;

    // The open database, opening it on first use; null when the file cannot
    // be opened as the storage describes it.
    eTileDatabase* Database() const;
    bool IsGeoPackage() const { return m_bGeoPackage; }

private:
    const bool m_bGeoPackage;
    // Set once the database is open; tile calls test it without the mutex.
    mutable std::atomic<eTileDatabase*> m_pReady{nullptr};
    mutable eMutex m_openMutex;
    mutable std::unique_ptr<eTileDatabase> m_pDatabase TVK_GUARDED_BY(m_openMutex);
};

eTileDatabase* eTileFileLayout::Database() const {
    eTileDatabase* ready = m_pReady.load(std::memory_order_acquire);
    if (ready != nullptr) return ready;
    eMutexGuard lock(m_openMutex);
    if ((ready = m_pReady.load(std::memory_order_relaxed)) != nullptr) return ready;

    eString path, table;
    SplitTileFileName(m_Storage.GetTileFile(), path, table);
    if (path.IsEmpty()) return nullptr;
    tagTileFileInfo info;
    eString why;
    {
        eSqliteDb db;
        if (!db.Open(path, eSqliteDb::OpenReadOnly, eTileDatabase::kBusyTimeoutMs)) return nullptr;
        const bool read = m_bGeoPackage ? eGeoPackageFile::Read(db, table, info, why)
                                        : eMBTilesFile::Read(db, path, info, why);
        if (!read) return nullptr;
    }
    // MBTiles: the storage's own levels, wherever they fall on the zoom
    // levels; a scheme other than the Web Mercator grid has no place there.
    if (!m_bGeoPackage && !eMBTilesFile::MapLevels(m_Storage.GetTileCoordSys(), info.Levels, why))
        return nullptr;
    auto database = std::make_unique<eTileDatabase>();
    if (!database->Open(path, info.Table, std::move(info.Levels))) return nullptr;
    m_pDatabase = std::move(database);
    m_pReady.store(m_pDatabase.get(), std::memory_order_release);
    return m_pDatabase.get();
}

// Pages of one level after another; each page is one short read.
class eTileFileSource final : public eTileSource {
public:
    eTileFileSource(eTileDatabase* db, const eString& path, int first, int last)
        : m_pDb(db), m_strPath(path), m_nLevel(first), m_nLast(last) {}

    bool NextBatch(std::vector<tagStoredTile>& batch, tagCacheFinding& error) override {
        batch.clear();
        while (m_nLevel <= m_nLast) {
            bool more = false;
            if (m_pDb == nullptr ||
                !m_pDb->ListPage(m_nLevel, m_nAfterCol, m_nAfterRow, batch, more)) {
                error.Kind = eCacheCheck::FileUnreadable;
                error.Path = m_strPath;
                m_nLevel = m_nLast + 1;
                return false;
            }
            if (!more) NextLevel();
            if (!batch.empty()) return true;
        }
        return false;
    }

private:
    void NextLevel() {
        ++m_nLevel;
        m_nAfterCol = m_nAfterRow = std::numeric_limits<int64_t>::min();
    }

    eTileDatabase* m_pDb;
    eString m_strPath;
    int m_nLevel;
    int m_nLast;
    int64_t m_nAfterCol = std::numeric_limits<int64_t>::min();
    int64_t m_nAfterRow = std::numeric_limits<int64_t>::min();
};

std::unique_ptr<eTileSource> eTileFileLayout::ListTiles(int firstLevel, int lastLevel) const {
    eString path, table;
    SplitTileFileName(m_Storage.GetTileFile(), path, table);
    return std::make_unique<eTileFileSource>(Database(), path, firstLevel, lastLevel);
}

// Every finding at once: a database's findings are a handful of counts.
class eTileFileFindings final : public eFindingSource {
public:
    eTileFileFindings(const eTileFileLayout& layout, const eString& file, int level)
        : m_Layout(layout), m_strFile(file), m_nLevel(level) {}

    bool NextBatch(std::vector<tagCacheFinding>& batch, tagCacheTotals& totals) override {
        batch.clear();
        if (m_bDone) return false;
        m_bDone = true;
        eString path, table;
        SplitTileFileName(m_strFile, path, table);
        tagCacheFinding finding;
        finding.Path = path;
        eTileDatabase* database = m_Layout.Database();
        if (database == nullptr) {
            finding.Kind = eCacheCheck::FileUnreadable;
            batch.push_back(finding);
            return true;
        }
        ++totals.TileFiles;
        database->Check(m_nLevel, path, batch, totals);
        if (m_nLevel >= 0) return true;
        std::vector<eString> warnings;
        eSqliteDb db;
        if (db.Open(path, eSqliteDb::OpenReadOnly, eTileDatabase::kBusyTimeoutMs)) {
            if (m_Layout.IsGeoPackage())
                eGeoPackageFile::Check(db, database->GetTable().Name, warnings);
            else
                eMBTilesFile::Check(db, warnings);
        }
        finding.Kind = eCacheCheck::FormatUnusual;
        for (const eString& text : warnings) {
            finding.Detail = text;
            batch.push_back(finding);
        }
        return true;
    }

private:
    const eTileFileLayout& m_Layout;
    eString m_strFile;
    int m_nLevel;
    bool m_bDone = false;
};

std::unique_ptr<eFindingSource> eTileFileLayout::CheckFiles(int level) const {
    return std::make_unique<eTileFileFindings>(*this, m_Storage.GetTileFile(), level);
}

}  // namespace

std::unique_ptr<eCacheLayout> MakeTileFileLayout(const eTileStorage& storage, bool geoPackage) {
    return std::make_unique<eTileFileLayout>(storage, geoPackage);
}

}  // namespace TVK
