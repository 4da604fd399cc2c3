// PMTiles reading: the sources, the opening reads, tile lookups through the
// root and cached leaf directories, and the whole-archive walk that listing
// and checking share.
#include "pmtiles/ePMTilesReader.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "platform/eGzip.h"

namespace TVK {

using pmtiles::tagEntry;

namespace {

// Most writers put header, root and metadata in the first 16 KiB; one read
// of that much usually opens an archive.
constexpr uint64_t kOpeningRead = pmtiles::kRootLimit;

// Bytes one cached leaf is charged: its entries and the cache's bookkeeping.
size_t CostOf(const std::vector<tagEntry>& entries) {
    return entries.size() * sizeof(tagEntry) + 128;
}

// True when [offset, offset + length) lies within size bytes.
bool Inside(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

std::string Zxy(uint64_t id) {
    int z = 0;
    uint32_t x = 0, y = 0;
    if (!pmtiles::TileIdToZxy(id, z, x, y)) return "tile id " + std::to_string(id);
    return "tile " + std::to_string(z) + "/" + std::to_string(x) + "/" + std::to_string(y);
}

}  // namespace

// ---- sources ----

std::unique_ptr<ePMTilesFileSource> ePMTilesFileSource::Open(const eString& path, eString& error) {
    std::unique_ptr<ePMTilesFileSource> source(new ePMTilesFileSource());
    if (!source->m_file.Open(path, eFile::OpenRead)) {
        error = path + ": cannot be opened for reading";
        return nullptr;
    }
    source->m_nSize = source->m_file.Size();
    if (source->m_nSize < 0) {
        error = path + ": cannot be examined";
        return nullptr;
    }
    source->m_strPath = path;
    return source;
}

int64_t ePMTilesFileSource::ReadAt(uint64_t offset, uint64_t count, eByteArray& out,
                                   eString& error) {
    out.RemoveAll();
    if (offset >= static_cast<uint64_t>(m_nSize)) return 0;
    count = std::min<uint64_t>(count, static_cast<uint64_t>(m_nSize) - offset);
    if (count > static_cast<uint64_t>(std::numeric_limits<eInt>::max())) {
        error = m_strPath + ": a range too large to read";
        return -1;
    }
    out.SetSize(static_cast<eInt>(count));
    const int64_t got =
        m_file.ReadAt(static_cast<int64_t>(offset), out.GetData(), static_cast<int64_t>(count));
    if (got < 0) {
        out.RemoveAll();
        error = m_strPath + ": read failed";
        return -1;
    }
    out.SetSize(static_cast<eInt>(got));
    return got;
}

// ---- opening ----

ePMTilesReader::ePMTilesReader(size_t leafCacheBytes) : m_nCacheLimit(leafCacheBytes) {}

bool ePMTilesReader::Fail(const std::string& reason) {
    eMutexGuard lock(m_errorMutex);
    m_strLastError = reason;
    return false;
}

eString ePMTilesReader::GetLastError() const {
    eMutexGuard lock(m_errorMutex);
    return eString(m_strLastError);
}

bool ePMTilesReader::ReadExact(uint64_t offset, uint64_t count, eByteArray& out,
                               std::string& error) {
    eString reason;
    const int64_t got = m_pSource->ReadAt(offset, count, out, reason);
    if (got < 0) {
        error = reason.Std();
        return false;
    }
    if (static_cast<uint64_t>(got) != count) {
        error = m_pSource->GetName().Std() + ": bytes " + std::to_string(offset) + "-" +
                std::to_string(offset + count) + " lie past the end of the file";
        return false;
    }
    return true;
}

bool ePMTilesReader::Inflate(const unsigned char* data, size_t size, eByteArray& out) const {
    switch (m_header.InternalCompression) {
        case pmtiles::CompressionNone: out = eByteArray(data, static_cast<eInt>(size)); return true;
        case pmtiles::CompressionGzip: return eGzip::Decompress(data, size, kMaxSectionBytes, out);
        case pmtiles::CompressionUnknown:
            // Not said: gzip when the bytes say so, else plain.
            if (eGzip::IsGzip(data, size))
                return eGzip::Decompress(data, size, kMaxSectionBytes, out);
            out = eByteArray(data, static_cast<eInt>(size));
            return true;
        default: return false;
    }
}

bool ePMTilesReader::DecodeSection(const eByteArray& raw, Entries& entries,
                                   std::string& error) const {
    eByteArray plain;
    if (!Inflate(raw.GetData(), static_cast<size_t>(raw.GetSize()), plain)) {
        error = "a directory does not decompress";
        return false;
    }
    if (!pmtiles::DecodeDirectory(plain.GetData(), static_cast<size_t>(plain.GetSize()), entries)) {
        error = "a directory is damaged";
        return false;
    }
    return true;
}

bool ePMTilesReader::Open(std::unique_ptr<ePMTilesSource> source) {
    m_pSource = std::move(source);
    if (!m_pSource) return Fail("no archive to read");
    const std::string name = m_pSource->GetName().Std();
    eByteArray head;
    std::string error;
    eString reason;
    const int64_t got = m_pSource->ReadAt(0, kOpeningRead, head, reason);
    if (got < 0) return Fail(reason.Std());
    if (!pmtiles::DecodeHeader(head.GetData(), static_cast<size_t>(head.GetSize()), m_header))
        return Fail(name + ": not a PMTiles version 3 archive");
    const unsigned char ic = m_header.InternalCompression;
    if (ic != pmtiles::CompressionNone && ic != pmtiles::CompressionGzip &&
        ic != pmtiles::CompressionUnknown) {
        return Fail(name + ": directories compressed with " +
                    (ic == pmtiles::CompressionBrotli ? std::string("brotli")
                     : ic == pmtiles::CompressionZstd ? std::string("zstd")
                                                      : "compression " + std::to_string(ic)) +
                    ", which this reader does not support (gzip or none)");
    }

    // The sections the opening needs, from the first read when they lie in it.
    auto section = [&](uint64_t offset, uint64_t length, eByteArray& out) {
        if (length > kMaxSectionBytes) {
            error = name + ": a section of " + std::to_string(length) + " bytes is not credible";
            return false;
        }
        if (Inside(offset, length, static_cast<uint64_t>(head.GetSize()))) {
            out = eByteArray(head.GetData() + offset, static_cast<eInt>(length));
            return true;
        }
        return ReadExact(offset, length, out, error);
    };
    eByteArray raw;
    if (!section(m_header.RootOffset, m_header.RootLength, raw)) return Fail(error);
    if (!DecodeSection(raw, m_root, error)) return Fail(name + ": root directory: " + error);

    m_strMetadata.clear();
    m_strMetadataProblem.clear();
    if (m_header.MetadataLength > 0) {
        eByteArray plain;
        if (!section(m_header.MetadataOffset, m_header.MetadataLength, raw)) {
            m_strMetadataProblem = error;
        } else if (!Inflate(raw.GetData(), static_cast<size_t>(raw.GetSize()), plain)) {
            m_strMetadataProblem = "the metadata does not decompress";
        } else {
            m_strMetadata.assign(reinterpret_cast<const char*>(plain.GetData()),
                                 static_cast<size_t>(plain.GetSize()));
        }
    }
    return true;
}

// ---- lookups ----

ePMTilesReader::EntriesPtr ePMTilesReader::Leaf(const tagEntry& entry, bool cache,
                                                std::string& error) {
    const std::string name = m_pSource->GetName().Std();
    if (entry.Offset > std::numeric_limits<uint64_t>::max() - m_header.LeafOffset ||
        !Inside(entry.Offset, entry.Length, m_header.LeafLength)) {
        error = name + ": a leaf directory entry points outside the leaf section";
        return nullptr;
    }
    const uint64_t at = m_header.LeafOffset + entry.Offset;
    if (cache) {
        eMutexGuard lock(m_cacheMutex);
        auto found = m_mapCache.find(at);
        if (found != m_mapCache.end() && found->second->Length == entry.Length) {
            m_lstLru.splice(m_lstLru.begin(), m_lstLru, found->second);
            return found->second->Entries;
        }
    }
    // Read and decoded outside the lock: two threads missing the same leaf
    // both read it, and the second one's copy is dropped.
    eByteArray raw;
    auto leaf = std::make_shared<Entries>();
    if (!ReadExact(at, entry.Length, raw, error)) return nullptr;
    m_nLeafReads++;
    if (!DecodeSection(raw, *leaf, error)) {
        error = name + ": leaf directory at byte " + std::to_string(at) + ": " + error;
        return nullptr;
    }
    if (!cache) return leaf;
    eMutexGuard lock(m_cacheMutex);
    if (m_mapCache.find(at) == m_mapCache.end()) {
        m_lstLru.push_front(tagCached{at, entry.Length, leaf});
        m_mapCache[at] = m_lstLru.begin();
        m_nCacheBytes += CostOf(*leaf);
        while (m_nCacheBytes > m_nCacheLimit && m_lstLru.size() > 1) {
            m_nCacheBytes -= CostOf(*m_lstLru.back().Entries);
            m_mapCache.erase(m_lstLru.back().Offset);
            m_lstLru.pop_back();
        }
    }
    return leaf;
}

ePMTilesReader::EmFound ePMTilesReader::FindTile(uint64_t id, tagEntry& entry) {
    const Entries* dir = &m_root;
    EntriesPtr hold;  // keeps the current leaf alive while it is searched
    std::string error;
    for (int depth = 0; depth <= kMaxLeafDepth; ++depth) {
        const tagEntry* found = pmtiles::FindEntry(*dir, id);
        if (found == nullptr) return Absent;
        if (found->RunLength > 0) {
            entry = *found;
            return Found;
        }
        hold = Leaf(*found, true, error);
        if (!hold) {
            Fail(error);
            return Failed;
        }
        dir = hold.get();
    }
    Fail(m_pSource->GetName().Std() + ": leaf directories nest deeper than " +
         std::to_string(kMaxLeafDepth) + " levels");
    return Failed;
}

ePMTilesReader::EmFound ePMTilesReader::HasTile(int z, uint32_t x, uint32_t y) {
    uint64_t id = 0;
    if (!pmtiles::ZxyToTileId(z, x, y, id)) return Absent;
    tagEntry entry;
    return FindTile(id, entry);
}

ePMTilesReader::EmFound ePMTilesReader::LoadTile(int z, uint32_t x, uint32_t y, eByteArray& data) {
    uint64_t id = 0;
    if (!pmtiles::ZxyToTileId(z, x, y, id)) return Absent;
    tagEntry entry;
    const EmFound found = FindTile(id, entry);
    if (found != Found) return found;
    if (!Inside(entry.Offset, entry.Length, m_header.DataLength) ||
        entry.Offset > std::numeric_limits<uint64_t>::max() - m_header.DataOffset) {
        Fail(m_pSource->GetName().Std() + ": the entry of " + Zxy(id) +
             " points outside the tile data");
        return Failed;
    }
    eByteArray bytes;
    std::string error;
    if (!ReadExact(m_header.DataOffset + entry.Offset, entry.Length, bytes, error)) {
        Fail(error);
        return Failed;
    }
    data = std::move(bytes);
    return Found;
}

// ---- the walk ----

bool ePMTilesReader::Walk(const Entries& dir, int depth, uint64_t lo, uint64_t hi, bool checking,
                          const std::function<bool(const tagEntry&)>& visit, tagPMTilesCheck* check,
                          bool& stopped) {
    const std::string name = m_pSource->GetName().Std();
    auto damage = [check](const std::string& text) { check->Problems.push_back({true, text}); };
    for (size_t i = 0; i < dir.size() && !stopped; ++i) {
        const tagEntry& e = dir[i];
        const uint64_t next = i + 1 < dir.size() ? dir[i + 1].TileId : hi;
        if (checking && (e.TileId < lo || e.TileId >= hi)) {
            damage(name + ": the directory entry of " + Zxy(e.TileId) +
                   " lies outside the range of its leaf directory");
        }
        if (e.RunLength > 0) {
            if (checking && e.TileId < next && e.RunLength > next - e.TileId) {
                damage(name + ": the run of " + std::to_string(e.RunLength) + " tiles from " +
                       Zxy(e.TileId) + " overlaps the next entry");
            }
            if (!visit(e)) stopped = true;
            continue;
        }
        if (depth >= kMaxLeafDepth) {
            const std::string why = name + ": leaf directories nest deeper than " +
                                    std::to_string(kMaxLeafDepth) + " levels";
            if (!checking) return Fail(why);
            damage(why);
            continue;
        }
        std::string error;
        const EntriesPtr leaf = Leaf(e, false, error);
        if (!leaf) {
            if (!checking) return Fail(error);
            damage(error);
            continue;
        }
        if (checking && leaf->empty())
            check->Problems.push_back({false, name + ": a leaf directory holds no entries"});
        if (!Walk(*leaf, depth + 1, e.TileId, next, checking, visit, check, stopped)) return false;
    }
    return true;
}

bool ePMTilesReader::ForEachTileEntry(const std::function<bool(const tagEntry&)>& visit) {
    bool stopped = false;
    return Walk(m_root, 0, 0, std::numeric_limits<uint64_t>::max(), false, visit, nullptr, stopped);
}

tagPMTilesCheck ePMTilesReader::Check() {
    tagPMTilesCheck check;
    auto damage = [&check](const std::string& text) { check.Problems.push_back({true, text}); };
    auto warning = [&check](const std::string& text) { check.Problems.push_back({false, text}); };
    const std::string name = m_pSource->GetName().Std();
    const pmtiles::tagHeader& h = m_header;
    const int64_t size = m_pSource->GetSize();
    if (size >= 0) {
        const struct {
            const char* what;
            uint64_t offset, length;
        } sections[] = {{"root directory", h.RootOffset, h.RootLength},
                        {"metadata", h.MetadataOffset, h.MetadataLength},
                        {"leaf directories", h.LeafOffset, h.LeafLength},
                        {"tile data", h.DataOffset, h.DataLength}};
        for (const auto& s : sections) {
            if (!Inside(s.offset, s.length, static_cast<uint64_t>(size))) {
                damage(name + ": the " + s.what + " (bytes " + std::to_string(s.offset) + "+" +
                       std::to_string(s.length) + ") reach past the end of the file (" +
                       std::to_string(size) + " bytes)");
            }
        }
    }
    if (!Inside(h.RootOffset, h.RootLength, pmtiles::kRootLimit))
        warning(name + ": the root directory does not lie within the first 16 KiB");
    if (h.MinZoom > h.MaxZoom) damage(name + ": the minimum zoom is above the maximum zoom");

    if (!m_strMetadataProblem.empty()) {
        warning(name + ": metadata: " + m_strMetadataProblem);
    } else if (h.MetadataLength > 0) {
        const nlohmann::json doc = nlohmann::json::parse(m_strMetadata, nullptr, false);
        if (doc.is_discarded() || !doc.is_object())
            warning(name + ": the metadata is not a JSON object");
    }

    uint64_t entries = 0, nextData = 0;
    bool firstTile = true, clusterReported = false, zoomReported = false;
    std::unordered_set<uint64_t> contents;
    const uint64_t lowest = pmtiles::FirstTileIdOfZoom(h.MinZoom);
    const uint64_t highest = pmtiles::FirstTileIdOfZoom(std::min(h.MaxZoom + 1, 32));
    auto visit = [&](const tagEntry& e) {
        check.Tiles += e.RunLength;
        check.Bytes += uint64_t(e.Length) * e.RunLength;
        ++entries;
        contents.insert(e.Offset);
        if (!Inside(e.Offset, e.Length, h.DataLength))
            damage(name + ": the entry of " + Zxy(e.TileId) + " points outside the tile data");
        if (!zoomReported && h.MinZoom <= h.MaxZoom &&
            (e.TileId < lowest || e.TileId >= highest || e.RunLength > highest - e.TileId)) {
            zoomReported = true;
            damage(name + ": " + Zxy(e.TileId) + " lies outside the header's zoom levels " +
                   std::to_string(h.MinZoom) + "-" + std::to_string(h.MaxZoom) +
                   ", where readers never look");
        }
        if (h.Clustered && !clusterReported) {
            // Clustered data: each new blob starts where the last one ended;
            // a repeated tile may point back at an earlier blob.
            const bool ok = firstTile ? e.Offset == 0 : e.Offset <= nextData;
            if (!ok) {
                clusterReported = true;
                warning(name + ": the header says clustered but the data of " + Zxy(e.TileId) +
                        " is not in tile order");
            }
            if (e.Offset == nextData) nextData += e.Length;
        }
        firstTile = false;
        return true;
    };
    bool stopped = false;
    Walk(m_root, 0, 0, std::numeric_limits<uint64_t>::max(), true, visit, &check, stopped);

    const struct {
        const char* what;
        uint64_t said, found;
    } counts[] = {{"addressed tiles", h.AddressedTiles, check.Tiles},
                  {"tile entries", h.TileEntries, entries},
                  {"tile contents", h.TileContents, contents.size()}};
    for (const auto& c : counts) {
        if (c.said != 0 && c.said != c.found) {
            warning(name + ": the header counts " + std::to_string(c.said) + " " + c.what +
                    ", the directories " + std::to_string(c.found));
        }
    }
    return check;
}

// ---- the cursor ----

ePMTilesCursor::ePMTilesCursor(ePMTilesReader& reader, uint64_t firstId)
    : m_Reader(reader), m_nFirstId(firstId) {
    m_vecStack.push_back({nullptr, &reader.m_root, 0, std::numeric_limits<uint64_t>::max()});
}

bool ePMTilesCursor::Next(tagEntry& entry) {
    while (!m_bFailed && !m_vecStack.empty()) {
        tagFrame& f = m_vecStack.back();
        if (f.Index >= f.Dir->size()) {
            m_vecStack.pop_back();
            continue;
        }
        const tagEntry& e = (*f.Dir)[f.Index];
        const uint64_t end = f.Index + 1 < f.Dir->size() ? (*f.Dir)[f.Index + 1].TileId : f.End;
        ++f.Index;
        if (e.RunLength > 0) {
            if (e.TileId >= m_nFirstId || m_nFirstId - e.TileId < e.RunLength) {
                entry = e;
                return true;
            }
            continue;
        }
        if (end <= m_nFirstId) continue;  // the whole leaf lies before the first id
        if (m_vecStack.size() > static_cast<size_t>(ePMTilesReader::kMaxLeafDepth)) {
            m_bFailed = true;
            m_Reader.Fail(m_Reader.m_pSource->GetName().Std() +
                          ": leaf directories nest deeper than " +
                          std::to_string(ePMTilesReader::kMaxLeafDepth) + " levels");
            return false;
        }
        std::string error;
        auto leaf = m_Reader.Leaf(e, false, error);
        if (!leaf) {
            m_bFailed = true;
            m_Reader.Fail(error);
            return false;
        }
        const auto* dir = leaf.get();
        m_vecStack.push_back({std::move(leaf), dir, 0, end});
    }
    return false;
}

}  // namespace TVK
