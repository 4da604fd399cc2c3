// The PMTiles layout: tile calls on an archive being read or being written,
// its listing (tile-id order: level by level, each level along its Hilbert
// curve) and its check.
#include "storage/ePMTilesLayout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "eTileStorage.h"
#include "storage/eWebMercatorGrid.h"

namespace TVK {

namespace {

// Tiles handed to the listing at a time.
constexpr size_t kListBatch = 4096;

bool StartsWithNoCase(const eString& text, const char* head) {
    const eInt length = static_cast<eInt>(std::char_traits<char>::length(head));
    return text.GetLength() >= length && text.Left(length).CompareNoCase(head) == 0;
}

// The lowest zoom of levels first..last; past the deepest zoom when none has one.
int LowestZoom(const std::vector<int>& zooms, int first, int last) {
    int lowest = pmtiles::kMaxZoom + 1;
    for (int level = first; level <= last; ++level)
        lowest = std::min(lowest, zooms[static_cast<size_t>(level)]);
    return lowest;
}

class ePMTilesTiles final : public eTileSource {
public:
    ePMTilesTiles(ePMTilesReader& reader, const std::vector<int>& zooms, int first, int last)
        : m_Reader(reader),
          m_Cursor(reader, pmtiles::FirstTileIdOfZoom(LowestZoom(zooms, first, last))) {
        m_vecLevelOf.assign(pmtiles::kMaxZoom + 1, -1);
        for (int level = first; level <= last; ++level) {
            const int z = zooms[static_cast<size_t>(level)];
            m_vecLevelOf[static_cast<size_t>(z)] = level;
            m_nLastZoom = std::max(m_nLastZoom, z);
        }
        m_bDone = m_nLastZoom < 0;
    }

    bool NextBatch(std::vector<tagStoredTile>& batch, tagCacheFinding& error) override {
        batch.clear();
        while (!m_bDone && batch.size() < kListBatch) {
            if (m_nLeft == 0) {
                if (!m_Cursor.Next(m_Entry)) {
                    m_bDone = true;
                    if (m_Cursor.Failed()) {
                        error.Kind = eCacheCheck::FileUnreadable;
                        error.Path = m_Reader.GetSource().GetName();
                        error.Detail = m_Reader.GetLastError();
                        return false;
                    }
                    break;
                }
                m_nNextId = m_Entry.TileId;
                m_nLeft = m_Entry.RunLength;
            }
            int z = 0;
            uint32_t x = 0, y = 0;
            if (!pmtiles::TileIdToZxy(m_nNextId, z, x, y) || z > m_nLastZoom) {
                m_bDone = true;
                break;
            }
            ++m_nNextId;
            --m_nLeft;
            const int level = m_vecLevelOf[static_cast<size_t>(z)];
            if (level >= 0)
                batch.push_back(tagStoredTile{level, static_cast<int32_t>(y),
                                              static_cast<int32_t>(x), m_Entry.Length});
        }
        return !batch.empty() || !m_bDone;
    }

private:
    ePMTilesReader& m_Reader;
    ePMTilesCursor m_Cursor;
    std::vector<int> m_vecLevelOf;  // by zoom; -1 for zooms not listed
    int m_nLastZoom = -1;
    bool m_bDone = false;
    pmtiles::tagEntry m_Entry;
    uint64_t m_nNextId = 0;
    uint64_t m_nLeft = 0;  // tiles of the current run not yet listed
};

// An archive that cannot be opened lists nothing, and says why.
class eUnreadableTiles final : public eTileSource {
public:
    eUnreadableTiles(const eString& name, const eString& why) : m_strName(name), m_strWhy(why) {}
    bool NextBatch(std::vector<tagStoredTile>& batch, tagCacheFinding& error) override {
        batch.clear();
        error.Kind = eCacheCheck::FileUnreadable;
        error.Path = m_strName;
        error.Detail = m_strWhy;
        return false;
    }

private:
    eString m_strName, m_strWhy;
};

// The check's findings in one batch: an archive is one file.
class ePMTilesCheck final : public eFindingSource {
public:
    ePMTilesCheck(ePMTilesReader* reader, const eString& name, const eString& openError)
        : m_pReader(reader), m_strName(name), m_strOpenError(openError) {}

    bool NextBatch(std::vector<tagCacheFinding>& batch, tagCacheTotals& totals) override {
        batch.clear();
        if (m_bDone) return false;
        m_bDone = true;
        tagCacheFinding f;
        f.Path = m_strName;
        if (m_pReader == nullptr) {
            f.Kind = eCacheCheck::FileUnreadable;
            f.Detail = m_strOpenError;
            batch.push_back(f);
            ++totals.Damage;
            return true;
        }
        const tagPMTilesCheck check = m_pReader->Check();
        // The finding names the file already.
        const std::string prefix = m_strName.Std() + ": ";
        for (const auto& problem : check.Problems) {
            f.Kind = problem.Damage ? eCacheCheck::ArchiveDamaged : eCacheCheck::ArchiveUnusual;
            f.Detail = problem.Text.rfind(prefix, 0) == 0 ? problem.Text.substr(prefix.size())
                                                          : problem.Text;
            batch.push_back(f);
            ++(problem.Damage ? totals.Damage : totals.Warnings);
        }
        totals.Tiles += static_cast<int64_t>(check.Tiles);
        totals.Bytes += static_cast<int64_t>(check.Bytes);
        return true;
    }

private:
    ePMTilesReader* m_pReader;
    eString m_strName;
    eString m_strOpenError;
    bool m_bDone = false;
};

}  // namespace

bool IsRemoteName(const eString& name) {
    return StartsWithNoCase(name, "http://") || StartsWithNoCase(name, "https://");
}

bool IsPMTilesName(const eString& name) {
    if (IsRemoteName(name)) return true;
    const char tail[] = ".pmtiles";
    const eInt length = sizeof tail - 1;
    return name.GetLength() >= length &&
           name.Mid(name.GetLength() - length).CompareNoCase(tail) == 0;
}

std::unique_ptr<ePMTilesReader> OpenPMTiles(const eString& name, eString& why) {
    std::unique_ptr<ePMTilesSource> source;
    if (IsRemoteName(name)) {
        source = std::make_unique<ePMTilesHttpSource>(name);
    } else {
        source = ePMTilesFileSource::Open(name, why);
        if (!source) return nullptr;
    }
    auto reader = std::make_unique<ePMTilesReader>();
    if (!reader->Open(std::move(source))) {
        why = reader->GetLastError();
        return nullptr;
    }
    return reader;
}

bool WebMercatorZooms(const eTileCoordSys& scheme, std::vector<int>& zooms, eString& why) {
    return webmercator::ZoomsOf(scheme, "PMTiles", pmtiles::kMaxZoom, zooms, why);
}

std::unique_ptr<eCacheLayout> MakePMTilesLayout(const eTileStorage& storage) {
    return std::make_unique<ePMTilesLayout>(storage);
}

ePMTilesLayout::ePMTilesLayout(const eTileStorage& storage) : eCacheLayout(storage) {
    SettingsChanged();
}

void ePMTilesLayout::SettingsChanged() {
    // A scheme of another grid leaves every level without a zoom: nothing
    // is found and nothing saved.
    eString why;
    WebMercatorZooms(m_Storage.GetTileCoordSys(), m_vecZooms, why);
    eMutexGuard lock(m_openMutex);
    if (m_pReader && m_strOpened != m_Storage.GetTileFile()) {
        m_pReady = nullptr;
        m_pReader.reset();
    }
}

void ePMTilesLayout::AdoptReader(std::unique_ptr<ePMTilesReader> reader) {
    eMutexGuard lock(m_openMutex);
    m_pReader = std::move(reader);
    m_strOpened = m_Storage.GetTileFile();
    m_pReady = m_pReader.get();
}

void ePMTilesLayout::AdoptWriter(std::unique_ptr<ePMTilesWriter> writer) {
    m_pWriter = std::move(writer);
}

ePMTilesReader* ePMTilesLayout::Reader() const {
    if (ePMTilesReader* ready = m_pReady.load()) return ready;
    if (m_pWriter) return nullptr;  // nothing to read until the archive is finished
    eMutexGuard lock(m_openMutex);
    if (!m_pReader) {
        const eString name = m_Storage.GetTileFile();
        if (name.IsEmpty()) return nullptr;
        eString why;
        m_pReader = OpenPMTiles(name, why);
        if (!m_pReader) return nullptr;
        m_strOpened = name;
    }
    m_pReady = m_pReader.get();
    return m_pReader.get();
}

unsigned char ePMTilesLayout::IsTileExist(int level, int row, int col) {
    const int z = ZoomOf(level);
    ePMTilesReader* reader = z < 0 || row < 0 || col < 0 ? nullptr : Reader();
    if (reader == nullptr) return 0;
    return reader->HasTile(z, static_cast<uint32_t>(col), static_cast<uint32_t>(row)) ==
                   ePMTilesReader::Found
               ? 1
               : 0;
}

unsigned char ePMTilesLayout::LoadTile(int level, int row, int col, eByteArray& data) {
    const int z = ZoomOf(level);
    ePMTilesReader* reader = z < 0 || row < 0 || col < 0 ? nullptr : Reader();
    if (reader == nullptr) return 0;
    return reader->LoadTile(z, static_cast<uint32_t>(col), static_cast<uint32_t>(row), data) ==
                   ePMTilesReader::Found
               ? 1
               : 0;
}

unsigned char ePMTilesLayout::SaveTile(int level, int row, int col, const unsigned char* data,
                                       unsigned int size) {
    // An archive that exists is never changed: only one being created takes tiles.
    const int z = ZoomOf(level);
    if (!m_pWriter || z < 0 || row < 0 || col < 0) return 0;
    return m_pWriter->AddTile(z, static_cast<uint32_t>(col), static_cast<uint32_t>(row), data, size)
               ? 1
               : 0;
}

unsigned char ePMTilesLayout::RemoveTile(int, int, int) { return 0; }

unsigned char ePMTilesLayout::FinishFile(eString& why) {
    if (!m_pWriter) return 1;
    const bool ok = m_pWriter->Finish();
    if (!ok) why = m_pWriter->GetLastError();
    // Either way the writer is done: a finished archive is read from now on,
    // a failed one is gone.
    m_pWriter.reset();
    return ok ? 1 : 0;
}

std::unique_ptr<eTileSource> ePMTilesLayout::ListTiles(int firstLevel, int lastLevel) const {
    ePMTilesReader* reader = Reader();
    if (reader == nullptr) {
        if (m_pWriter) return nullptr;  // not written yet
        eString why;
        OpenPMTiles(m_Storage.GetTileFile(), why);
        return std::make_unique<eUnreadableTiles>(m_Storage.GetTileFile(), why);
    }
    // Levels without a zoom hold nothing.
    int first = firstLevel, last = lastLevel;
    while (first <= last && ZoomOf(first) < 0) ++first;
    while (last >= first && ZoomOf(last) < 0) --last;
    if (first > last) return nullptr;
    return std::make_unique<ePMTilesTiles>(*reader, m_vecZooms, first, last);
}

std::unique_ptr<eFindingSource> ePMTilesLayout::CheckFiles(int) const {
    // The whole archive, whatever level is asked for: it is one file.
    ePMTilesReader* reader = Reader();
    eString why;
    if (reader == nullptr) {
        if (m_pWriter) return nullptr;  // not written yet
        OpenPMTiles(m_Storage.GetTileFile(), why);
    }
    return std::make_unique<ePMTilesCheck>(reader, m_Storage.GetTileFile(), why);
}

}  // namespace TVK
