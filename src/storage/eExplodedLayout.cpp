// The Original layout in ArcGIS's exploded names:
//   <root>/_alllayers/L<level>/R<row, 8 hex>/C<col, 8 hex>.<jpg|png>
// the folder carrying the level's own number (LevelID). Saves, loads and
// removals work as in this system's names (a ".temp" renamed onto the
// tile). MIXED caches hold both kinds: reads look for ".jpg" first, a save
// names the file after its bytes and removes the tile's file of the other
// kind, a removal removes both.
//
// Listings walk a level's row folders in row order, and in each the files
// in column order; of a MIXED tile stored as both kinds, the ".jpg" (the one
// read) is reported.
#include <algorithm>
#include <set>
#include <string>

#include "eTileStorage.h"
#include "platform/eDirList.h"
#include "platform/eFile.h"
#include "storage/eCacheLayout.h"
#include "storage/eTileFiles.h"
#include "storage/eTilePaths.h"

namespace TVK {

namespace {

using tilepath::EmArcGISKind;

constexpr size_t kHexNameLength = 9;  // "R0000012c", "C00000401"

EmArcGISKind KindOf(const eTileStorage& storage) {
    return tilepath::ArcGISKindOf(storage.GetArcGISTileFormat(), storage.GetTileType());
}

// Whether a file name is a tile of this kind of cache: "C<8 hex>.jpg" or
// ".png" as the kind says; col is its column.
bool IsTileName(const std::string& name, EmArcGISKind kind, int& col) {
    if (name.size() != kHexNameLength + 4 || name[kHexNameLength] != '.') return false;
    const std::string ext = name.substr(kHexNameLength + 1);
    const bool jpg = ext == "jpg", png = ext == "png";
    if (!(kind == EmArcGISKind::Jpg ? jpg : kind == EmArcGISKind::Png ? png : jpg || png))
        return false;
    return tilepath::ParseHex8Name(name.substr(0, kHexNameLength), 'C', col);
}

// The folder of a level ("<root>/_alllayers/L05"); empty for a level whose
// number is negative (it has no name).
std::string LevelFolder(const eTileStorage& storage, int level) {
    const int number = tilepath::LevelNumber(storage.GetTileCoordSys(), level);
    if (number < 0) return std::string();
    std::string folder;
    tilepath::AppendRoot(folder, storage.GetFileDirectory().Std());
    folder += tilepath::kAllLayers;
    folder += '/';
    tilepath::AppendLevelName(folder, number);
    return folder;
}

class eExplodedTiles final : public eTileSource {
public:
    eExplodedTiles(const eTileStorage& storage, int firstLevel, int lastLevel)
        : m_Storage(storage), m_nLevel(firstLevel), m_nLastLevel(lastLevel) {}

    bool NextBatch(std::vector<tagStoredTile>& batch, tagCacheFinding&) override {
        batch.clear();
        for (;;) {
            if (m_nRow < m_Rows.size()) {
                ReadRow(m_Rows[m_nRow++], batch);
                return true;
            }
            if (m_nLevel > m_nLastLevel) return false;
            StartLevel(m_nLevel++);
        }
    }

private:
    void StartLevel(int level) {
        m_Rows.clear();
        m_nRow = 0;
        m_strFolder = LevelFolder(m_Storage, level);
        // Two levels of one number share the folder: list it once.
        if (m_strFolder.empty() || std::find(m_SeenFolders.begin(), m_SeenFolders.end(),
                                             m_strFolder) != m_SeenFolders.end())
            return;
        m_SeenFolders.push_back(m_strFolder);
        m_nCurLevel = level;
        std::vector<eString> names;
        if (!eListDir(m_strFolder, names)) return;
        // Fixed-width lower-case hex: byte order is row order.
        for (const eString& name : names) {
            int row = 0;
            if (tilepath::ParseHex8Name(name.Std(), 'R', row)) m_Rows.push_back(name);
        }
    }

    void ReadRow(const eString& rowName, std::vector<tagStoredTile>& batch) const {
        int row = 0;
        tilepath::ParseHex8Name(rowName.Std(), 'R', row);
        const std::string folder = m_strFolder + "/" + rowName.Std();
        std::vector<eString> names;
        if (!eListDir(folder, names)) return;
        const EmArcGISKind kind = KindOf(m_Storage);
        // In byte order "C...jpg" comes right before "C...png" of one column.
        for (const eString& name : names) {
            int col = 0;
            if (!IsTileName(name.Std(), kind, col)) continue;
            if (!batch.empty() && batch.back().Col == col) continue;
            const int64_t size = eFile::GetFileSize(folder + "/" + name.Std());
            if (size >= 0) batch.push_back({m_nCurLevel, row, col, size});
        }
    }

    const eTileStorage& m_Storage;
    int m_nLevel;
    int m_nLastLevel;
    int m_nCurLevel = 0;
    std::string m_strFolder;
    std::vector<std::string> m_SeenFolders;
    std::vector<eString> m_Rows;
    size_t m_nRow = 0;
};

// Below "_alllayers": the folders of the cache's levels, in them row
// folders, in those tile files. Anything else is reported as a warning.
class eExplodedCheck final : public eFindingSource {
public:
    eExplodedCheck(const eTileStorage& storage, int level) : m_emKind(KindOf(storage)) {
        const int levels = static_cast<int>(storage.GetTileCoordSys().GetLevelCaptions().size());
        for (int i = 0; i < levels; ++i) {
            const std::string folder = LevelFolder(storage, i);
            if (!folder.empty() && (level < 0 || i == level)) m_LevelFolders.insert(folder);
        }
        if (level >= 0) {
            m_Entries.assign(m_LevelFolders.begin(), m_LevelFolders.end());
            m_bLevelsOnly = true;
        } else {
            tilepath::AppendRoot(m_strRoot, storage.GetFileDirectory().Std());
            m_strRoot += tilepath::kAllLayers;
            std::vector<eString> names;
            if (eListDir(m_strRoot, names))
                for (const eString& name : names) m_Entries.push_back(m_strRoot + "/" + name.Std());
        }
    }

    bool NextBatch(std::vector<tagCacheFinding>& batch, tagCacheTotals& totals) override {
        batch.clear();
        for (;;) {
            if (m_nRow < m_Rows.size()) {
                CheckRow(m_strFolder + "/" + m_Rows[m_nRow++].Std(), batch, totals);
                return true;
            }
            if (m_nEntry >= m_Entries.size()) return false;
            StartLevel(m_Entries[m_nEntry++], batch);
            if (!batch.empty()) return true;
        }
    }

private:
    void StartLevel(const std::string& folder, std::vector<tagCacheFinding>& batch) {
        m_Rows.clear();
        m_nRow = 0;
        m_strFolder = folder;
        if (!eFile::IsDirectory(folder)) {
            // One level's check looks at its own folder only, present or not.
            if (!m_bLevelsOnly)
                batch.push_back(tilefile::Finding(eCacheCheck::ForeignLevelFolder, folder));
            return;
        }
        if (m_LevelFolders.count(folder) == 0) {
            batch.push_back(tilefile::Finding(eCacheCheck::ForeignLevelFolder, folder));
            return;
        }
        std::vector<eString> names;
        if (!eListDir(folder, names)) {
            batch.push_back(tilefile::Finding(eCacheCheck::FolderUnreadable, folder));
            return;
        }
        for (const eString& name : names) {
            const std::string path = folder + "/" + name.Std();
            int row = 0;
            if (tilepath::ParseHex8Name(name.Std(), 'R', row) && eFile::IsDirectory(path))
                m_Rows.push_back(name);
            else
                batch.push_back(tilefile::Finding(eCacheCheck::ForeignRowFolder, path));
        }
    }

    void CheckRow(const std::string& folder, std::vector<tagCacheFinding>& batch,
                  tagCacheTotals& totals) const {
        std::vector<eString> names;
        if (!eListDir(folder, names)) {
            batch.push_back(tilefile::Finding(eCacheCheck::FolderUnreadable, folder));
            return;
        }
        // Byte order puts a MIXED tile's ".jpg" (the one read) before its ".png".
        int lastCol = -1;
        for (const eString& name : names) {
            const eString path = folder + "/" + name.Std();
            if (tilefile::CheckTemporary(path, batch)) continue;
            int col = 0;
            if (!IsTileName(name.Std(), m_emKind, col) || eFile::IsDirectory(path)) {
                batch.push_back(tilefile::Finding(eCacheCheck::UnreachableName, path));
                continue;
            }
            if (col == lastCol) {
                batch.push_back(tilefile::Finding(eCacheCheck::DuplicateTile, path));
                continue;
            }
            lastCol = col;
            tilefile::CheckTileFile(path, batch, totals);
        }
    }

    EmArcGISKind m_emKind;
    std::set<std::string> m_LevelFolders;
    bool m_bLevelsOnly = false;
    std::string m_strRoot;
    std::vector<std::string> m_Entries;
    size_t m_nEntry = 0;
    std::string m_strFolder;
    std::vector<eString> m_Rows;
    size_t m_nRow = 0;
};

class eExplodedLayout final : public eCacheLayout {
public:
    using eCacheLayout::eCacheLayout;

    unsigned char IsTileExist(int level, int row, int col) override {
        const eString path = TilePath(level, row, col, true);
        if (path.IsEmpty()) return 0;
        if (eFile::IsFile(path)) return 1;
        return IsMixed() && eFile::IsFile(tilepath::OtherKindPath(path)) ? 1 : 0;
    }

    unsigned char LoadTile(int level, int row, int col, eByteArray& data) override {
        const eString path = TilePath(level, row, col, true);
        if (path.IsEmpty()) return 0;
        eFileStream stream;
        if (!stream.Open(path, eFileStream::Read, 8192) &&
            !(IsMixed() && stream.Open(tilepath::OtherKindPath(path), eFileStream::Read, 8192))) {
            return 0;
        }
        // Leaves data untouched unless every byte was read.
        return stream.LoadByteArray(data) ? 1 : 0;
    }

    unsigned char SaveTile(int level, int row, int col, const unsigned char* data,
                           unsigned int size) override {
        const eString path = TilePath(level, row, col, tilepath::IsJpegBytes(data, size));
        if (path.IsEmpty() || !tilefile::SaveFile(path, data, size)) return 0;
        if (IsMixed()) {
            // A stale tile of the other kind would still be found by a load
            // looking for that kind first.
            const eString other = tilepath::OtherKindPath(path);
            if (eFile::IsFile(other) && !eFile::Delete(other)) return 0;
        }
        return 1;
    }

    unsigned char RemoveTile(int level, int row, int col) override {
        const eString path = TilePath(level, row, col, true);
        if (path.IsEmpty()) return 0;
        // Empty folders stay; a folder on the tile's own name is not a tile.
        bool removed = eFile::IsFile(path) && eFile::Delete(path);
        if (IsMixed()) {
            const eString other = tilepath::OtherKindPath(path);
            if (eFile::IsFile(other) && eFile::Delete(other)) removed = true;
        }
        return removed ? 1 : 0;
    }

    std::unique_ptr<eTileSource> ListTiles(int firstLevel, int lastLevel) const override {
        return std::make_unique<eExplodedTiles>(m_Storage, firstLevel, lastLevel);
    }

    std::unique_ptr<eFindingSource> CheckFiles(int level) const override {
        return std::make_unique<eExplodedCheck>(m_Storage, level);
    }

private:
    bool IsMixed() const { return KindOf(m_Storage) == EmArcGISKind::Mixed; }

    // Absolute path of a tile file, built in one allocation; `jpeg` picks
    // "jpg" for MIXED. Empty for a tile without a name. Throws
    // std::out_of_range for a level outside the list.
    eString TilePath(int level, int row, int col, bool jpeg) const {
        const char* ext = "png";
        switch (KindOf(m_Storage)) {
            case EmArcGISKind::Jpg: ext = "jpg"; break;
            case EmArcGISKind::Png: ext = "png"; break;
            case EmArcGISKind::Mixed: ext = jpeg ? "jpg" : "png"; break;
        }
        const std::string& root = m_Storage.GetFileDirectory().Std();
        std::string path;
        path.reserve(root.size() + 64);
        tilepath::AppendRoot(path, root);
        if (!tilepath::AppendArcGISPath(path, m_Storage.GetTileCoordSys(), level, row, col))
            return eString();
        path += '.';
        path += ext;
        return eString(std::move(path));
    }
};

}  // namespace

std::unique_ptr<eCacheLayout> MakeExplodedLayout(const eTileStorage& storage) {
    return std::make_unique<eExplodedLayout>(storage);
}

}  // namespace TVK
