// eTileFileLayout: MBTiles and GeoPackage files as a layout of eTileStorage.
#include "storage/eTileFileLayout.h"

#include "eTileStorage.h"
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

eTileDatabase* eTileFileLayout::Database() const {
    eTileDatabase* ready = m_pReady.load(std::memory_order_acquire);
    if (ready != nullptr) return ready;
    std::lock_guard<std::mutex> lock(m_openMutex);
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

unsigned char eTileFileLayout::IsTileExist(int level, int row, int col) {
    eTileDatabase* db = Database();
    return db != nullptr ? db->IsTileExist(level, row, col) : 0;
}

unsigned char eTileFileLayout::LoadTile(int level, int row, int col, eByteArray& data) {
    eTileDatabase* db = Database();
    return db != nullptr ? db->LoadTile(level, row, col, data) : 0;
}

unsigned char eTileFileLayout::SaveTile(int level, int row, int col, const unsigned char* data,
                                        unsigned int size) {
    eTileDatabase* db = Database();
    return db != nullptr ? db->SaveTile(level, row, col, data, size) : 0;
}

unsigned char eTileFileLayout::RemoveTile(int level, int row, int col) {
    eTileDatabase* db = Database();
    return db != nullptr ? db->RemoveTile(level, row, col) : 0;
}

void eTileFileLayout::ReleaseHandles() {
    if (eTileDatabase* db = m_pReady.load(std::memory_order_acquire)) db->ReleaseHandles();
}

void eTileFileLayout::SettingsChanged() {
    // No tile call runs meanwhile (settings are not changed under them).
    std::lock_guard<std::mutex> lock(m_openMutex);
    m_pReady.store(nullptr, std::memory_order_release);
    m_pDatabase.reset();
}

void eTileFileLayout::BeginBulkWrite() {
    if (eTileDatabase* db = Database()) db->BeginBulkWrite();
}

unsigned char eTileFileLayout::EndBulkWrite() {
    eTileDatabase* db = m_pReady.load(std::memory_order_acquire);
    return db != nullptr ? db->EndBulkWrite() : 1;
}

bool eTileFileLayout::CheckFormat(std::vector<tagTileCheckNote>& notes) const {
    eString path, table;
    SplitTileFileName(m_Storage.GetTileFile(), path, table);
    eTileDatabase* database = Database();
    eSqliteDb db;
    if (database == nullptr ||
        !db.Open(path, eSqliteDb::OpenReadOnly, eTileDatabase::kBusyTimeoutMs))
        return false;
    if (m_bGeoPackage)
        eGeoPackageFile::Check(db, database->GetTable().Name, notes);
    else
        eMBTilesFile::Check(db, notes);
    return true;
}

}  // namespace TVK
