// The Original layout in this system's own names:
//   <root>/_alllayers/<scale-name>/R<row-group>C<col-group>/<row>x<col>.<ext>
// A save writes "<tile>.<writer>.temp" and renames it onto the tile, so the tile's own
// name only ever names a completely written file; nothing is locked. Only
// regular files count as tiles: a folder standing on a tile's name is neither
// reported nor removed.
//
// Listings walk a level's group folders in order of their groups (row, then
// column) and report the files named exactly as the storage names the tile
// of their row and column, row by row within a folder.
#include <algorithm>
#include <string>

#include "eTileStorage.h"
#include "platform/eAssert.h"
#include "platform/eDirList.h"
#include "platform/eFile.h"
#include "storage/eCacheLayout.h"
#include "storage/eTileFiles.h"
#include "storage/eTilePaths.h"

namespace TVK {

namespace {

const char kSource[] = "eTileStorage";

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Extension(const eTileStorage& storage) {
    return std::string(".") + tilepath::ExtText(storage.GetTileType());
}

std::string LevelFolder(const eTileStorage& storage, int level) {
    std::string folder;
    tilepath::AppendRoot(folder, storage.GetFileDirectory().Std());
    tilepath::AppendNativeLevel(folder, storage.GetTileCoordSys(), level);
    return folder;
}

class eNativeTiles final : public eTileSource {
public:
    eNativeTiles(const eTileStorage& storage, int firstLevel, int lastLevel)
        : m_Storage(storage), m_nLevel(firstLevel), m_nLastLevel(lastLevel) {}

    bool NextBatch(std::vector<tagStoredTile>& batch, tagCacheFinding&) override {
        batch.clear();
        // Only the native grammar divides by the group size.
        if (m_Storage.GetTileGroupSize() <= 0) return false;
        for (;;) {
            if (m_nGroup < m_Groups.size()) {
                ReadGroup(m_Groups[m_nGroup++], batch);
                return true;
            }
            if (m_nLevel > m_nLastLevel) return false;
            StartLevel(m_nLevel++);
        }
    }

private:
    struct tagGroup {
        int Row, Col;
        std::string Name;
    };

    void StartLevel(int level) {
        m_Groups.clear();
        m_nGroup = 0;
        m_strFolder = LevelFolder(m_Storage, level);
        // Two levels of one scale name share the folder: list it once.
        if (std::find(m_SeenFolders.begin(), m_SeenFolders.end(), m_strFolder) !=
            m_SeenFolders.end())
            return;
        m_SeenFolders.push_back(m_strFolder);
        m_nCurLevel = level;
        std::vector<eString> names;
        if (!eListDir(m_strFolder, names)) return;  // no tile at this level yet
        for (const eString& name : names) {
            tagGroup group;
            if (tilepath::ParseGroupName(name.Std(), group.Row, group.Col)) {
                group.Name = name.Std();
                m_Groups.push_back(std::move(group));
            }
        }
        std::sort(m_Groups.begin(), m_Groups.end(), [](const tagGroup& a, const tagGroup& b) {
            return a.Row != b.Row ? a.Row < b.Row : a.Col < b.Col;
        });
    }

    void ReadGroup(const tagGroup& group, std::vector<tagStoredTile>& batch) const {
        const std::string folder = m_strFolder + "/" + group.Name;
        std::vector<eString> names;
        if (!eListDir(folder, names)) return;  // a stray file, not a group folder
        const std::string ext = Extension(m_Storage);
        const int groupSize = m_Storage.GetTileGroupSize();
        for (const eString& name : names) {
            const std::string& file = name.Std();
            if (file.size() <= ext.size() || !EndsWith(file, ext)) continue;
            const std::string stem = file.substr(0, file.size() - ext.size());
            const size_t x = stem.find('x');
            int row = 0, col = 0;
            // Only a file at the path the storage builds for its address is a tile.
            if (x == std::string::npos || !tilepath::ParseDecimal(stem.substr(0, x), row) ||
                !tilepath::ParseDecimal(stem.substr(x + 1), col) ||
                tilepath::FloorGroup(row, groupSize) != group.Row ||
                tilepath::FloorGroup(col, groupSize) != group.Col)
                continue;
            const int64_t size = eFile::GetFileSize(folder + "/" + file);
            if (size >= 0) batch.push_back({m_nCurLevel, row, col, size});
        }
        std::sort(batch.begin(), batch.end(), [](const tagStoredTile& a, const tagStoredTile& b) {
            return a.Row != b.Row ? a.Row < b.Row : a.Col < b.Col;
        });
    }

    const eTileStorage& m_Storage;
    int m_nLevel;
    int m_nLastLevel;
    int m_nCurLevel = 0;
    std::string m_strFolder;
    std::vector<std::string> m_SeenFolders;
    std::vector<tagGroup> m_Groups;
    size_t m_nGroup = 0;
};

// Every file with the tile extension in the group folders is checked; a
// ".temp" file anywhere there is a save's leftover.
class eNativeCheck final : public eFindingSource {
public:
    eNativeCheck(const eTileStorage& storage, std::vector<std::string> levelFolders)
        : m_strExt(Extension(storage)), m_LevelFolders(std::move(levelFolders)) {}

    bool NextBatch(std::vector<tagCacheFinding>& batch, tagCacheTotals& totals) override {
        batch.clear();
        for (;;) {
            if (m_nGroup < m_Groups.size()) {
                CheckGroup(m_strFolder + "/" + m_Groups[m_nGroup++].Std(), batch, totals);
                return true;
            }
            if (m_nLevel >= m_LevelFolders.size()) return false;
            m_strFolder = m_LevelFolders[m_nLevel++];
            m_nGroup = 0;
            if (!eListDir(m_strFolder, m_Groups)) m_Groups.clear();
        }
    }

private:
    void CheckGroup(const std::string& folder, std::vector<tagCacheFinding>& batch,
                    tagCacheTotals& totals) const {
        std::vector<eString> names;
        if (!eListDir(folder, names)) return;  // a stray file, not a group folder
        for (const eString& name : names) {
            const eString path = folder + "/" + name.Std();
            if (tilefile::CheckTemporary(path, batch)) continue;
            if (EndsWith(name.Std(), m_strExt)) tilefile::CheckTileFile(path, batch, totals);
        }
    }

    std::string m_strExt;
    std::vector<std::string> m_LevelFolders;
    size_t m_nLevel = 0;
    std::string m_strFolder;
    std::vector<eString> m_Groups;
    size_t m_nGroup = 0;
};

class eNativeLayout final : public eCacheLayout {
public:
    using eCacheLayout::eCacheLayout;

    unsigned char IsTileExist(int level, int row, int col) override {
        const eString path = TilePath(level, row, col);
        return !path.IsEmpty() && eFile::IsFile(path) ? 1 : 0;
    }

    unsigned char LoadTile(int level, int row, int col, eByteArray& data) override {
        const eString path = TilePath(level, row, col);
        return !path.IsEmpty() && tilefile::LoadFile(path, data) ? 1 : 0;
    }

    unsigned char SaveTile(int level, int row, int col, const unsigned char* data,
                           unsigned int size) override {
        const eString path = TilePath(level, row, col);
        return !path.IsEmpty() && tilefile::SaveFile(path, data, size) ? 1 : 0;
    }

    unsigned char RemoveTile(int level, int row, int col) override {
        const eString path = TilePath(level, row, col);
        // Empty folders stay; another tile may be saved into them. A folder
        // on the tile's own name is not a tile and stays too.
        return !path.IsEmpty() && eFile::IsFile(path) && eFile::Delete(path) ? 1 : 0;
    }

    std::unique_ptr<eTileSource> ListTiles(int firstLevel, int lastLevel) const override {
        return std::make_unique<eNativeTiles>(m_Storage, firstLevel, lastLevel);
    }

    std::unique_ptr<eFindingSource> CheckFiles(int level) const override {
        std::vector<std::string> folders;
        if (level >= 0) {
            folders.push_back(LevelFolder(m_Storage, level));
        } else {
            std::string root;
            tilepath::AppendRoot(root, m_Storage.GetFileDirectory().Std());
            root += tilepath::kAllLayers;
            std::vector<eString> names;
            if (eListDir(root, names))
                for (const eString& name : names) folders.push_back(root + "/" + name.Std());
        }
        return std::make_unique<eNativeCheck>(m_Storage, std::move(folders));
    }

private:
    // Absolute path of a tile file, built in one allocation; empty (with the
    // assertion report) for a group size the grammar cannot divide by.
    eString TilePath(int level, int row, int col) const {
        const int groupSize = m_Storage.GetTileGroupSize();
        if (groupSize <= 0) {
            Eassert("m_nTileGroupSize > 0", kSource, __LINE__);
            return eString();
        }
        const std::string& root = m_Storage.GetFileDirectory().Std();
        const char* ext = tilepath::ExtText(m_Storage.GetTileType());
        std::string path;
        // Root, the longest relative path (eleven-character numbers) and the extension.
        path.reserve(root.size() + 96 + std::char_traits<char>::length(ext));
        tilepath::AppendRoot(path, root);
        tilepath::AppendNativePath(path, m_Storage.GetTileCoordSys(), groupSize, level, row, col);
        path += '.';
        path += ext;
        return eString(std::move(path));
    }
};

}  // namespace

std::unique_ptr<eCacheLayout> MakeNativeLayout(const eTileStorage& storage) {
    return std::make_unique<eNativeLayout>(storage);
}

}  // namespace TVK
