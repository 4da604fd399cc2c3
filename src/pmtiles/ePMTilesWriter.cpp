// PMTiles writing: collecting into the spill file, then the one pass that
// sorts, deduplicates, lays out and publishes the archive.
#include "pmtiles/ePMTilesWriter.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "platform/eFile.h"
#include "platform/eGzip.h"

namespace TVK {

using pmtiles::tagEntry;

namespace {

// Spill bytes gathered before one write, and output bytes before one write.
constexpr size_t kSpillBuffer = size_t(1) << 20;
constexpr size_t kOutputBuffer = size_t(4) << 20;
// Tile entries per leaf directory at the first try; doubled until the root
// of the leaves fits beside the header in the first 16 KiB.
constexpr size_t kFirstLeafSize = 4096;
constexpr uint64_t kRootRoom = pmtiles::kRootLimit - pmtiles::kHeaderSize;  // 16,257

uint64_t Load64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

uint64_t Mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

// A fast content hash: only a first sieve, equal hashes are compared byte
// by byte before two tiles share their bytes.
uint64_t HashBytes(const unsigned char* data, size_t size) {
    uint64_t h = 0x9E3779B97F4A7C15ULL ^ (size * 0xC2B2AE3D27D4EB4FULL);
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        h ^= Mix(Load64(data + i));
        h = (h << 27 | h >> 37) * 0x9E3779B97F4A7C15ULL + 0x52DCE729;
    }
    uint64_t tail = 0;
    for (size_t k = 0; i + k < size; ++k) tail |= uint64_t(data[i + k]) << (8 * k);
    return Mix(h ^ Mix(tail + size));
}

bool Compressed(const std::vector<tagEntry>& dir, eByteArray& out) {
    std::vector<unsigned char> plain;
    pmtiles::EncodeDirectory(dir, plain);
    return eGzip::Compress(plain.data(), plain.size(), out);
}

// Root alone when it fits beside the header; otherwise leaves of a growing
// number of entries and a root that points at them.
bool BuildDirectories(const std::vector<tagEntry>& entries, eByteArray& root,
                      std::vector<unsigned char>& leaves) {
    leaves.clear();
    if (!Compressed(entries, root)) return false;
    if (static_cast<uint64_t>(root.GetSize()) <= kRootRoom) return true;
    for (size_t leafSize = kFirstLeafSize;; leafSize *= 2) {
        leaves.clear();
        std::vector<tagEntry> rootEntries;
        eByteArray leaf;
        for (size_t i = 0; i < entries.size(); i += leafSize) {
            const size_t end = std::min(entries.size(), i + leafSize);
            const std::vector<tagEntry> chunk(entries.begin() + static_cast<std::ptrdiff_t>(i),
                                              entries.begin() + static_cast<std::ptrdiff_t>(end));
            if (!Compressed(chunk, leaf)) return false;
            tagEntry e;
            e.TileId = entries[i].TileId;
            e.Offset = leaves.size();
            e.Length = static_cast<uint32_t>(leaf.GetSize());
            e.RunLength = 0;
            rootEntries.push_back(e);
            leaves.insert(leaves.end(), leaf.GetData(), leaf.GetData() + leaf.GetSize());
        }
        if (!Compressed(rootEntries, root)) return false;
        if (static_cast<uint64_t>(root.GetSize()) <= kRootRoom) return true;
        if (rootEntries.size() == 1) return false;  // cannot happen: one entry is a few bytes
    }
}

// Longitude and latitude of a tile corner (Web Mercator, rows from the top).
double CornerLon(uint64_t x, int z) {
    return std::ldexp(static_cast<double>(x), -z) * 360.0 - 180.0;
}
double CornerLat(uint64_t y, int z) {
    const double n = M_PI * (1.0 - 2.0 * std::ldexp(static_cast<double>(y), -z));
    return std::atan(std::sinh(n)) * 180.0 / M_PI;
}

// Output gathered into large writes.
class eOutput {
public:
    explicit eOutput(eFile& file) : m_file(file) { m_vecBuffer.reserve(kOutputBuffer); }
    bool Append(const void* data, size_t size) {
        if (m_vecBuffer.size() + size > kOutputBuffer && !Flush()) return false;
        if (size >= kOutputBuffer) return m_file.Write(data, static_cast<int64_t>(size));
        const auto* p = static_cast<const unsigned char*>(data);
        m_vecBuffer.insert(m_vecBuffer.end(), p, p + size);
        return true;
    }
    // Room for size bytes at the end of the buffer, to be filled in place.
    unsigned char* Reserve(size_t size) {
        if (m_vecBuffer.size() + size > kOutputBuffer && !Flush()) return nullptr;
        const size_t at = m_vecBuffer.size();
        m_vecBuffer.resize(at + size);
        return m_vecBuffer.data() + at;
    }
    bool Flush() {
        const bool ok = m_file.Write(m_vecBuffer.data(), static_cast<int64_t>(m_vecBuffer.size()));
        m_vecBuffer.clear();
        return ok;
    }

private:
    eFile& m_file;
    std::vector<unsigned char> m_vecBuffer;
};

}  // namespace

bool ePMTilesWriter::SetError(const std::string& reason) {
    m_strError = reason;
    return false;
}

eString ePMTilesWriter::GetLastError() const {
    eMutexGuard lock(m_mutex);
    return eString(m_strError);
}

uint64_t ePMTilesWriter::GetAddedCount() const {
    eMutexGuard lock(m_mutex);
    return m_vecPending.size();
}

bool ePMTilesWriter::Begin(const eString& path, const tagSettings& settings) {
    eMutexGuard lock(m_mutex);
    if (!m_strPath.IsEmpty()) return SetError(m_strPath.Std() + ": an archive is being written");
    m_strError.clear();
    if (path.IsEmpty()) return SetError("no file name for the archive");
    if (eFile::IsExist(path)) return SetError(path.Std() + ": already exists");
    if (!m_spill.Create(path, "tvk-tiles"))
        return SetError(path.Std() + ": cannot make a temporary file beside it");
    m_strPath = path;
    m_settings = settings;
    m_header = pmtiles::tagHeader();
    m_vecBuffer.clear();
    m_vecBuffer.reserve(kSpillBuffer);
    m_nSpillWritten = 0;
    m_vecPending.clear();
    for (tagExtent& e : m_extents) e = tagExtent();
    m_bAllGzip = true;
    m_bBroken = false;
    return true;
}

bool ePMTilesWriter::FlushSpill() {
    if (m_vecBuffer.empty()) return true;
    if (!m_spill.File().WriteAt(static_cast<int64_t>(m_nSpillWritten), m_vecBuffer.data(),
                                static_cast<int64_t>(m_vecBuffer.size()))) {
        m_bBroken = true;
        return SetError(m_spill.GetPath().Std() + ": write failed (disk full?)");
    }
    m_nSpillWritten += m_vecBuffer.size();
    m_vecBuffer.clear();
    return true;
}

bool ePMTilesWriter::AddTile(int z, uint32_t x, uint32_t y, const unsigned char* data,
                             size_t size) {
    uint64_t id = 0;
    if (data == nullptr || size == 0 || size > std::numeric_limits<uint32_t>::max() ||
        !pmtiles::ZxyToTileId(z, x, y, id))
        return false;
    const uint64_t hash = HashBytes(data, size);
    eMutexGuard lock(m_mutex);
    if (m_strPath.IsEmpty() || m_bBroken) return false;
    if (m_vecBuffer.size() + size > kSpillBuffer && !FlushSpill()) return false;
    const uint64_t offset = m_nSpillWritten + m_vecBuffer.size();
    if (size >= kSpillBuffer) {
        if (!m_spill.File().WriteAt(static_cast<int64_t>(offset), data,
                                    static_cast<int64_t>(size))) {
            m_bBroken = true;
            return SetError(m_spill.GetPath().Std() + ": write failed (disk full?)");
        }
        m_nSpillWritten += size;
    } else {
        m_vecBuffer.insert(m_vecBuffer.end(), data, data + size);
    }
    m_vecPending.push_back(tagPending{id, offset, hash, static_cast<uint32_t>(size)});
    tagExtent& e = m_extents[z];
    e.MinX = std::min(e.MinX, x);
    e.MaxX = std::max(e.MaxX, x);
    e.MinY = std::min(e.MinY, y);
    e.MaxY = std::max(e.MaxY, y);
    e.Any = true;
    if (!eGzip::IsGzip(data, size)) m_bAllGzip = false;
    return true;
}

void ePMTilesWriter::Abandon() {
    eMutexGuard lock(m_mutex);
    m_spill.Remove();
    m_strPath.Empty();
    m_vecPending.clear();
    m_vecPending.shrink_to_fit();
    m_vecBuffer.clear();
}

bool ePMTilesWriter::Finish() {
    eMutexGuard lock(m_mutex);
    if (m_strPath.IsEmpty()) return SetError("no archive is being written");
    const bool ok = Publish();
    m_spill.Remove();
    m_strPath.Empty();
    m_vecPending.clear();
    m_vecPending.shrink_to_fit();
    return ok;
}

bool ePMTilesWriter::Publish() {
    const std::string path = m_strPath.Std();
    if (m_bBroken) return false;  // the reason is already set
    if (m_vecPending.empty())
        return SetError(path + ": no tiles to write (an archive holds at least one)");
    if (!FlushSpill()) return false;
    eFile& spill = m_spill.File();

    // Tile-id order; of tiles added twice, the later one (further on in the
    // spill file) is kept.
    std::sort(m_vecPending.begin(), m_vecPending.end(),
              [](const tagPending& a, const tagPending& b) {
                  return a.TileId != b.TileId ? a.TileId < b.TileId : a.SpillOffset < b.SpillOffset;
              });
    size_t kept = 0;
    for (size_t i = 0; i < m_vecPending.size(); ++i) {
        if (i + 1 < m_vecPending.size() && m_vecPending[i + 1].TileId == m_vecPending[i].TileId)
            continue;
        m_vecPending[kept++] = m_vecPending[i];
    }
    m_vecPending.resize(kept);

    // Distinct contents in the order they will be written, and the entries.
    struct tagContent {
        uint64_t SpillOffset;
        uint32_t Length;
        uint64_t DataOffset;
    };
    std::vector<tagContent> contents;
    std::unordered_map<uint64_t, uint32_t> byHash;  // hash -> first content with it
    std::vector<tagEntry> entries;
    std::vector<unsigned char> a, b;
    uint64_t dataSize = 0;
    for (const tagPending& p : m_vecPending) {
        uint64_t dataOffset = dataSize;
        bool shared = false;
        auto found = byHash.find(p.Hash);
        if (found != byHash.end()) {
            const tagContent& c = contents[found->second];
            if (c.Length == p.Length) {
                a.resize(p.Length);
                b.resize(p.Length);
                if (spill.ReadAt(static_cast<int64_t>(c.SpillOffset), a.data(), p.Length) !=
                        p.Length ||
                    spill.ReadAt(static_cast<int64_t>(p.SpillOffset), b.data(), p.Length) !=
                        p.Length)
                    return SetError(m_spill.GetPath().Std() + ": read failed");
                if (a == b) {
                    dataOffset = c.DataOffset;
                    shared = true;
                }
            }
        }
        if (!shared) {
            if (found == byHash.end())
                byHash.emplace(p.Hash, static_cast<uint32_t>(contents.size()));
            contents.push_back(tagContent{p.SpillOffset, p.Length, dataSize});
            dataSize += p.Length;
        }
        tagEntry* last = entries.empty() ? nullptr : &entries.back();
        if (last != nullptr && last->TileId + last->RunLength == p.TileId &&
            last->Offset == dataOffset && last->Length == p.Length &&
            last->RunLength < std::numeric_limits<uint32_t>::max()) {
            ++last->RunLength;
        } else {
            entries.push_back(tagEntry{p.TileId, dataOffset, p.Length, 1});
        }
    }
    byHash.clear();

    eByteArray root;
    std::vector<unsigned char> leaves;
    if (!BuildDirectories(entries, root, leaves))
        return SetError(path + ": cannot compress the directories");

    // Levels and bounds from the tiles themselves: the extent of the
    // deepest level, which says most precisely where the data is.
    int minZoom = pmtiles::kMaxZoom, maxZoom = 0;
    for (int z = 0; z <= pmtiles::kMaxZoom; ++z) {
        if (!m_extents[z].Any) continue;
        minZoom = std::min(minZoom, z);
        maxZoom = std::max(maxZoom, z);
    }
    const tagExtent& deep = m_extents[maxZoom];
    const double minLon = CornerLon(deep.MinX, maxZoom);
    const double maxLon = CornerLon(uint64_t(deep.MaxX) + 1, maxZoom);
    const double maxLat = CornerLat(deep.MinY, maxZoom);
    const double minLat = CornerLat(uint64_t(deep.MaxY) + 1, maxZoom);
    const double centerLon = (minLon + maxLon) / 2, centerLat = (minLat + maxLat) / 2;

    nlohmann::json meta = nlohmann::json::object();
    if (!m_settings.Name.empty()) meta["name"] = m_settings.Name;
    if (!m_settings.Format.empty()) meta["format"] = m_settings.Format;
    meta["type"] = "baselayer";
    meta["minzoom"] = minZoom;
    meta["maxzoom"] = maxZoom;
    meta["bounds"] = {minLon, minLat, maxLon, maxLat};
    meta["center"] = {centerLon, centerLat, minZoom};
    // Required for vector tiles; the layers themselves are not known here.
    if (m_settings.TileType == pmtiles::TileMvt) meta["vector_layers"] = nlohmann::json::array();
    const std::string metaText = meta.dump();
    eByteArray metadata;
    if (!eGzip::Compress(reinterpret_cast<const unsigned char*>(metaText.data()), metaText.size(),
                         metadata))
        return SetError(path + ": cannot compress the metadata");

    pmtiles::tagHeader& h = m_header;
    h = pmtiles::tagHeader();
    h.RootOffset = pmtiles::kHeaderSize;
    h.RootLength = static_cast<uint64_t>(root.GetSize());
    h.MetadataOffset = h.RootOffset + h.RootLength;
    h.MetadataLength = static_cast<uint64_t>(metadata.GetSize());
    h.LeafOffset = h.MetadataOffset + h.MetadataLength;
    h.LeafLength = leaves.size();
    h.DataOffset = h.LeafOffset + h.LeafLength;
    h.DataLength = dataSize;
    h.AddressedTiles = m_vecPending.size();
    h.TileEntries = entries.size();
    h.TileContents = contents.size();
    h.Clustered = true;
    h.InternalCompression = pmtiles::CompressionGzip;
    // Tiles that all arrive gzipped (vector tiles usually do) are declared
    // so; readers then inflate them. Anything else is stored as it came.
    h.TileCompression = m_bAllGzip ? pmtiles::CompressionGzip : pmtiles::CompressionNone;
    h.TileType = m_settings.TileType;
    h.MinZoom = static_cast<unsigned char>(minZoom);
    h.MaxZoom = static_cast<unsigned char>(maxZoom);
    h.MinLonE7 = pmtiles::ToE7(minLon);
    h.MinLatE7 = pmtiles::ToE7(minLat);
    h.MaxLonE7 = pmtiles::ToE7(maxLon);
    h.MaxLatE7 = pmtiles::ToE7(maxLat);
    h.CenterZoom = static_cast<unsigned char>(minZoom);
    h.CenterLonE7 = pmtiles::ToE7(centerLon);
    h.CenterLatE7 = pmtiles::ToE7(centerLat);
    unsigned char head[pmtiles::kHeaderSize];
    pmtiles::EncodeHeader(h, head);

    eTempFile out;
    if (!out.Create(m_strPath, "tvk-new"))
        return SetError(path + ": cannot make a temporary file beside it");
    eOutput writer(out.File());
    bool written = writer.Append(head, sizeof head) &&
                   writer.Append(root.GetData(), static_cast<size_t>(root.GetSize())) &&
                   writer.Append(metadata.GetData(), static_cast<size_t>(metadata.GetSize())) &&
                   writer.Append(leaves.data(), leaves.size());
    for (size_t i = 0; written && i < contents.size(); ++i) {
        const tagContent& c = contents[i];
        if (c.Length >= kOutputBuffer) {
            a.resize(c.Length);
            written =
                spill.ReadAt(static_cast<int64_t>(c.SpillOffset), a.data(), c.Length) == c.Length &&
                writer.Append(a.data(), c.Length);
        } else {
            unsigned char* at = writer.Reserve(c.Length);
            written = at != nullptr &&
                      spill.ReadAt(static_cast<int64_t>(c.SpillOffset), at, c.Length) == c.Length;
        }
    }
    written = written && writer.Flush() && out.File().Sync();
    if (!written) return SetError(out.GetPath().Std() + ": write failed (disk full?)");
    if (!out.PublishAs(m_strPath)) {
        return SetError(eFile::IsExist(m_strPath)
                            ? path + ": appeared while the archive was written; left as it is"
                            : path + ": cannot rename the finished archive into place");
    }
    return true;
}

}  // namespace TVK
