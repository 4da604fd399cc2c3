// The Compact layouts: V1 pairs (".bundle" + ".bundlx", in this system's
// structure or ArcGIS's) and V2 files (one ".bundle"), 128 x 128 tiles of
// one level each, in "_alllayers/L<level>/R<row hex>C<col hex>". The level
// in the folder's name is the position in the level list, or the level's own
// number (LevelID) when the cache uses ArcGIS's names.
//
// Tile calls go through the layout's pool of open bundles, which does all
// locking: the tile's block (first row and column, rounded toward zero)
// selects an operator, and the tile call follows on the same thread. Listings
// and checks read the bundles with their own files, apart from the pool.
#include <algorithm>
#include <climits>
#include <set>
#include <string>

#include "compact/eBundleReader.h"
#include "compact/eRasterCompactManager.h"
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

// Rows and columns of one bundle; fixed by the bundle format, independent of
// TileGroupSize.
constexpr int kBundleSize = 128;

constexpr char kDataExt[] = ".bundle";
constexpr size_t kExtLength = sizeof(kDataExt) - 1;  // both extensions
constexpr int kListAttempts = 3;
constexpr char kIndexExt[] = ".bundlx";

// First row (or column) of the bundle holding n, rounded toward zero.
int BundleStart(int n) { return (n / kBundleSize) * kBundleSize; }

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The level a bundle's folder carries. ArcGIS names it by the level's own
// number (LevelID), as it does the exploded folders, so a cache whose levels
// do not start at 0 is still found; this system's own caches use the
// position in the list. A level outside the list has no ArcGIS number: -1,
// which the bundle handle refuses.
int BundleLevel(const eTileStorage& storage, int level) {
    if (storage.GetTileNaming() != eTileStorage::ArcGIS) return level;
    return tilepath::LevelNumber(storage.GetTileCoordSys(), level);
}

std::string AllLayers(const eTileStorage& storage) {
    std::string folder;
    tilepath::AppendRoot(folder, storage.GetFileDirectory().Std());
    folder += tilepath::kAllLayers;
    return folder;
}

// "<root>/_alllayers/L05"; empty for a level without a folder name.
std::string LevelFolder(const eTileStorage& storage, int level) {
    const int number = BundleLevel(storage, level);
    if (number < 0) return std::string();
    std::string folder = AllLayers(storage);
    folder += '/';
    tilepath::AppendLevelName(folder, number);
    return folder;
}

struct tagBundle {
    int Row, Col;
    std::string Base;  // path without extension
};

void SortBundles(std::vector<tagBundle>& bundles) {
    std::sort(bundles.begin(), bundles.end(), [](const tagBundle& a, const tagBundle& b) {
        return a.Row != b.Row ? a.Row < b.Row : a.Col < b.Col;
    });
}

bool OpenBundle(bundle::eBundleReader& reader, bool v2, const tagBundle& b,
                tagCacheFinding& failure) {
    if (v2) return reader.OpenV2(b.Base + kDataExt, failure);
    return reader.OpenV1(b.Base + kIndexExt, b.Base + kDataExt, failure);
}

class eBundleTiles final : public eTileSource {
public:
    eBundleTiles(const eTileStorage& storage, bool v2, int firstLevel, int lastLevel)
        : m_Storage(storage), m_bV2(v2), m_nLevel(firstLevel), m_nLastLevel(lastLevel) {}

    bool NextBatch(std::vector<tagStoredTile>& batch, tagCacheFinding& error) override {
        batch.clear();
        for (;;) {
            if (m_nBundle < m_Bundles.size()) {
                const tagBundle& b = m_Bundles[m_nBundle++];
                // A save in another thread or process may change the index
                // under the read; a read that saw the index change is done
                // again, a few times at most.
                for (int attempt = 1;; ++attempt) {
                    if (!OpenBundle(m_Reader, m_bV2, b, error)) return false;
                    batch.clear();
                    m_Reader.ListTiles(m_nCurLevel, b.Row, b.Col, batch);
                    if (m_Reader.IsUnchanged() || attempt == kListAttempts) break;
                }
                m_Reader.Close();
                return true;
            }
            if (m_nLevel > m_nLastLevel) return false;
            StartLevel(m_nLevel++);
        }
    }

private:
    void StartLevel(int level) {
        m_Bundles.clear();
        m_nBundle = 0;
        const std::string folder = LevelFolder(m_Storage, level);
        // Two levels of one number share the folder: list it once.
        if (folder.empty() ||
            std::find(m_SeenFolders.begin(), m_SeenFolders.end(), folder) != m_SeenFolders.end())
            return;
        m_SeenFolders.push_back(folder);
        m_nCurLevel = level;
        std::vector<eString> names;
        if (!eListDir(folder, names)) return;  // no bundle at this level yet
        // A V1 pair is found by its index, a V2 bundle by its one file.
        const std::string ext = m_bV2 ? kDataExt : kIndexExt;
        for (const eString& name : names) {
            const std::string& file = name.Std();
            tagBundle b;
            if (!EndsWith(file, ext) ||
                !bundle::ParseBundleName(file.substr(0, file.size() - ext.size()), b.Row, b.Col))
                continue;
            b.Base = folder + "/" + file.substr(0, file.size() - ext.size());
            m_Bundles.push_back(std::move(b));
        }
        SortBundles(m_Bundles);
    }

    const eTileStorage& m_Storage;
    bool m_bV2;
    int m_nLevel;
    int m_nLastLevel;
    int m_nCurLevel = 0;
    std::vector<std::string> m_SeenFolders;
    std::vector<tagBundle> m_Bundles;
    size_t m_nBundle = 0;
    bundle::eBundleReader m_Reader;
};

// Below "_alllayers": level folders, in them bundles. Files that are no
// bundle, names the handle never opens and halves of V1 pairs are reported
// with each folder, then every bundle on its own.
class eBundleCheck final : public eFindingSource {
public:
    eBundleCheck(const eTileStorage& storage, bool v2, int level) : m_bV2(v2) {
        if (level >= 0) {
            m_bLevelOnly = true;
            const std::string folder = LevelFolder(storage, level);
            if (!folder.empty()) m_Folders.push_back(folder);
            return;
        }
        const std::string root = AllLayers(storage);
        std::vector<eString> names;
        if (eListDir(root, names))
            for (const eString& name : names) m_Folders.push_back(root + "/" + name.Std());
    }

    bool NextBatch(std::vector<tagCacheFinding>& batch, tagCacheTotals& totals) override {
        batch.clear();
        for (;;) {
            if (m_nBundle < m_Bundles.size()) {
                const tagBundle& b = m_Bundles[m_nBundle++];
                ++totals.Bundles;
                tagCacheFinding failure;
                if (OpenBundle(m_Reader, m_bV2, b, failure))
                    m_Reader.Check(b.Row, b.Col, batch, totals);
                else
                    batch.push_back(failure);
                m_Reader.Close();
                return true;
            }
            if (m_nFolder >= m_Folders.size()) return false;
            StartFolder(m_Folders[m_nFolder++], batch);
            if (!batch.empty()) return true;
        }
    }

private:
    void StartFolder(const std::string& folder, std::vector<tagCacheFinding>& batch) {
        m_Bundles.clear();
        m_nBundle = 0;
        int number = 0;
        const bool isFolder = eFile::IsDirectory(folder);
        if (!m_bLevelOnly &&
            (!isFolder || !tilepath::ParseLevelName(eFile::GetFileName(folder).Std(), number))) {
            batch.push_back(tilefile::Finding(eCacheCheck::ForeignLevelFolder, folder));
            return;
        }
        if (!isFolder) return;  // the level has no bundle yet
        std::vector<eString> names;
        if (!eListDir(folder, names)) {
            batch.push_back(tilefile::Finding(eCacheCheck::FolderUnreadable, folder));
            return;
        }
        std::set<std::string> indexes, datas;
        for (const eString& name : names) {
            const std::string& file = name.Std();
            const std::string path = folder + "/" + file;
            // A bundle written under a temporary name by a save that never finished.
            if (tilefile::CheckTemporary(path, batch)) continue;
            if (!m_bV2 && EndsWith(file, kIndexExt)) {
                indexes.insert(file.substr(0, file.size() - kExtLength));
            } else if (EndsWith(file, kDataExt)) {
                datas.insert(file.substr(0, file.size() - kExtLength));
            } else {
                batch.push_back(tilefile::Finding(eCacheCheck::ForeignFile, path));
            }
        }
        // V1 pairs are found by their index, V2 bundles by their one file.
        const char* ext = m_bV2 ? kDataExt : kIndexExt;
        for (const std::string& base : m_bV2 ? datas : indexes) {
            tagBundle b;
            b.Base = folder + "/" + base;
            if (!bundle::ParseBundleName(base, b.Row, b.Col)) {
                batch.push_back(tilefile::Finding(eCacheCheck::UnreachableName, b.Base + ext));
            } else if (!m_bV2 && datas.count(base) == 0) {
                batch.push_back(tilefile::Finding(eCacheCheck::IndexWithoutData, b.Base + ext));
            } else {
                m_Bundles.push_back(std::move(b));
            }
        }
        if (!m_bV2) {
            for (const std::string& base : datas) {
                if (indexes.count(base) == 0)
                    batch.push_back(tilefile::Finding(eCacheCheck::DataWithoutIndex,
                                                      folder + "/" + base + kDataExt));
            }
        }
        SortBundles(m_Bundles);
    }

    bool m_bV2;
    bool m_bLevelOnly = false;
    std::vector<std::string> m_Folders;
    size_t m_nFolder = 0;
    std::vector<tagBundle> m_Bundles;
    size_t m_nBundle = 0;
    bundle::eBundleReader m_Reader;
};

class eBundleLayout final : public eCacheLayout {
public:
    eBundleLayout(const eTileStorage& storage, eRasterCompact::EmBundleFormat format)
        : eCacheLayout(storage), m_emFormat(format) {
        m_Pool.SetBundleFormat(format);
        SettingsChanged();
    }

    unsigned char IsTileExist(int level, int row, int col) override {
        int bundleLevel = 0;
        eRasterCompactOperator* op = Operator(level, row, col, bundleLevel);
        if (op == nullptr) {
            Eassert("false", kSource, __LINE__);
            return 0;
        }
        return op->IsTileExist(row, col, bundleLevel) ? 1 : 0;
    }

    unsigned char LoadTile(int level, int row, int col, eByteArray& data) override {
        int bundleLevel = 0;
        eRasterCompactOperator* op = Operator(level, row, col, bundleLevel);
        return op != nullptr && op->LoadTileData(data, row, col, bundleLevel) ? 1 : 0;
    }

    unsigned char SaveTile(int level, int row, int col, const unsigned char* data,
                           unsigned int size) override {
        // Record lengths are 32-bit signed.
        if (size > static_cast<unsigned int>(INT_MAX)) return 0;
        int bundleLevel = 0;
        eRasterCompactOperator* op = Operator(level, row, col, bundleLevel);
        return op != nullptr && op->SaveTileData(data, size, row, col, bundleLevel) ? 1 : 0;
    }

    unsigned char RemoveTile(int level, int row, int col) override {
        int bundleLevel = 0;
        eRasterCompactOperator* op = Operator(level, row, col, bundleLevel);
        return op != nullptr && op->RemoveTileData(row, col, bundleLevel) ? 1 : 0;
    }

    void ReleaseHandles() override { m_Pool.ReleaseAll(); }

    void SettingsChanged() override {
        // The root reaches handles made from now on; the structure every
        // thread's handle at its next call.
        m_Pool.SetSrcPath(m_Storage.GetFileDirectory());
        m_Pool.SetArcGISStructure(m_Storage.GetArcGISStructure() != 0);
    }

    std::unique_ptr<eTileSource> ListTiles(int firstLevel, int lastLevel) const override {
        return std::make_unique<eBundleTiles>(m_Storage, IsV2(), firstLevel, lastLevel);
    }

    std::unique_ptr<eFindingSource> CheckFiles(int level) const override {
        return std::make_unique<eBundleCheck>(m_Storage, IsV2(), level);
    }

private:
    bool IsV2() const { return m_emFormat == eRasterCompact::BundleV2; }

    // The pool's operator for the tile's bundle (nullptr when it has none)
    // and, in bundleLevel, the level number the bundle is filed under.
    eRasterCompactOperator* Operator(int level, int row, int col, int& bundleLevel) {
        bundleLevel = BundleLevel(m_Storage, level);
        return m_Pool.GetOperator(bundleLevel, BundleStart(row), BundleStart(col));
    }

    eRasterCompact::EmBundleFormat m_emFormat;
    eRasterCompactManager m_Pool;
};

}  // namespace

std::unique_ptr<eCacheLayout> MakeCompactV1Layout(const eTileStorage& storage) {
    return std::make_unique<eBundleLayout>(storage, eRasterCompact::BundleV1);
}

std::unique_ptr<eCacheLayout> MakeCompactV2Layout(const eTileStorage& storage) {
    return std::make_unique<eBundleLayout>(storage, eRasterCompact::BundleV2);
}

}  // namespace TVK
