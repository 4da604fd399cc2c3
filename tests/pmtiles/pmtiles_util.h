// PMTiles test helpers: tiles with recognisable bytes, an archive written
// through the library's writer, and an independent little encoder that
// builds archives byte by byte from the format's text (for the shapes other
// writers produce).
#ifndef TVK_TESTS_PMTILES_UTIL_H
#define TVK_TESTS_PMTILES_UTIL_H

#include <string>
#include <vector>

#include "pmtiles/ePMTilesReader.h"
#include "pmtiles/ePMTilesWriter.h"
#include "support/test_files.h"

namespace tvktest {

struct tagTile {
    int z;
    uint32_t x, y;
    Bytes bytes;
};

// Bytes that name their tile, padded to a length that varies with it.
inline Bytes NamedTile(int z, uint32_t x, uint32_t y, size_t extra = 0) {
    const std::string name = std::to_string(z) + "/" + std::to_string(x) + "/" + std::to_string(y);
    Bytes b(name.begin(), name.end());
    b.resize(b.size() + extra, static_cast<unsigned char>(x * 7 + y));
    return b;
}

// A tile's bytes in LeafyTiles: its name and a scattered length.
inline Bytes LeafyTile(int z, uint32_t x, uint32_t y) {
    return NamedTile(z, x, y, (x * 2654435761u ^ y * 40503u) % 241);
}

// Every tile of levels 0-7, each distinct, of scattered lengths so that
// their directory does not compress into 16 KiB: archives of them need leaves.
inline std::vector<tagTile> LeafyTiles() {
    std::vector<tagTile> tiles;
    for (int z = 0; z <= 7; ++z)
        for (uint32_t x = 0; x < (1u << z); ++x)
            for (uint32_t y = 0; y < (1u << z); ++y) tiles.push_back({z, x, y, LeafyTile(z, x, y)});
    return tiles;
}

inline bool WriteArchive(const fs::path& path, const std::vector<tagTile>& tiles,
                         unsigned char type = TVK::pmtiles::TilePng, std::string* error = nullptr) {
    TVK::ePMTilesWriter writer;
    TVK::ePMTilesWriter::tagSettings settings;
    settings.TileType = type;
    settings.Name = "test archive";
    settings.Format = type == TVK::pmtiles::TileMvt ? "pbf" : "png";
    bool ok = writer.Begin(path.string(), settings);
    for (const tagTile& t : tiles)
        ok = ok && writer.AddTile(t.z, t.x, t.y, t.bytes.data(), t.bytes.size());
    ok = ok && writer.Finish();
    if (!ok && error != nullptr) *error = writer.GetLastError().Std();
    return ok;
}

// A reader of a local archive; Open's result in opened.
inline std::unique_ptr<TVK::ePMTilesReader> OpenArchive(
    const fs::path& path, bool& opened,
    size_t cacheBytes = TVK::ePMTilesReader::kDefaultLeafCacheBytes) {
    auto reader = std::make_unique<TVK::ePMTilesReader>(cacheBytes);
    TVK::eString error;
    auto source = TVK::ePMTilesFileSource::Open(path.string(), error);
    opened = source != nullptr && reader->Open(std::move(source));
    return reader;
}

inline Bytes LoadTile(TVK::ePMTilesReader& reader, int z, uint32_t x, uint32_t y) {
    TVK::eByteArray data;
    return reader.LoadTile(z, x, y, data) == TVK::ePMTilesReader::Found ? ToBytes(data) : Bytes();
}

// ---- byte-level building, straight from the format's text ----

inline void Varint(Bytes& out, uint64_t v) {
    for (; v >= 0x80; v >>= 7) out.push_back(static_cast<unsigned char>(0x80 | (v & 0x7F)));
    out.push_back(static_cast<unsigned char>(v));
}

struct tagRawEntry {
    uint64_t id, offset, length, run;
};

// A directory: count, id deltas, runs, lengths, then offset + 1 for each
// entry (this encoder never uses the "contiguous" 0).
inline Bytes RawDirectory(const std::vector<tagRawEntry>& entries) {
    Bytes out;
    Varint(out, entries.size());
    uint64_t last = 0;
    for (const auto& e : entries) {
        Varint(out, e.id - last);
        last = e.id;
    }
    for (const auto& e : entries) Varint(out, e.run);
    for (const auto& e : entries) Varint(out, e.length);
    for (const auto& e : entries) Varint(out, e.offset + 1);
    return out;
}

struct tagRawSection {
    uint64_t offset, length;
};

// The 127 header bytes: sections root, metadata, leaves, data in that order.
inline Bytes RawHeader(tagRawSection root, tagRawSection meta, tagRawSection leaves,
                       tagRawSection data, unsigned char internal, bool clustered,
                       unsigned char minZoom, unsigned char maxZoom) {
    Bytes h(127, 0);
    const std::string magic = "PMTiles";
    std::copy(magic.begin(), magic.end(), h.begin());
    h[7] = 3;
    const uint64_t fields[] = {root.offset,   root.length,   meta.offset, meta.length,
                               leaves.offset, leaves.length, data.offset, data.length};
    for (size_t i = 0; i < 8; ++i) PutLE(h, 8 + 8 * i, fields[i], 8);
    h[96] = clustered ? 1 : 0;
    h[97] = internal;
    h[98] = 1;  // tiles not compressed
    h[99] = 2;  // PNG
    h[100] = minZoom;
    h[101] = maxZoom;
    PutLE(h, 102, uint32_t(-1800000000), 4);
    PutLE(h, 106, uint32_t(-850511287), 4);
    PutLE(h, 110, 1800000000u, 4);
    PutLE(h, 114, 850511287u, 4);
    return h;
}

}  // namespace tvktest

#endif
