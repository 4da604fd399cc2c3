// Fuzz target: the PMTiles directory decoder, alone and inside an archive.
//
// Input: byte 0 flags, the rest a directory (bit 0: gzip-compressed).
// Alone, a directory that decodes must encode back to entries that decode
// the same, ascend strictly, and be found where a plain scan finds them.
// Inside an archive (bit 1), the same bytes are both the root directory and
// the leaf section, so leaf entries may point at any part of them, at
// themselves included: lookups, the walk and the check must end and never
// read outside the file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/eGzip.h"
#include "pmtiles/ePMTilesReader.h"

using tvkfuzz::Check;
using namespace TVK::pmtiles;

namespace {

// The entry a plain scan finds for id, or null.
const tagEntry* Scan(const std::vector<tagEntry>& entries, uint64_t id) {
    const tagEntry* best = nullptr;
    for (const tagEntry& e : entries)
        if (e.TileId <= id) best = &e;
    if (best == nullptr) return nullptr;
    if (best->RunLength == 0 || id - best->TileId < best->RunLength) return best;
    return nullptr;
}

void FuzzArchive(const uint8_t* dir, size_t size, bool gzip) {
    static const tvkfuzz::ScratchDir scratch("tvk_fuzz_pmtiles_");
    const std::string path = (scratch.Path() / "a.pmtiles").string();
    tagHeader h;
    h.RootOffset = kHeaderSize;
    h.RootLength = size;
    h.LeafOffset = kHeaderSize;
    h.LeafLength = size;
    h.DataOffset = kHeaderSize;
    h.DataLength = size;
    h.InternalCompression = gzip ? CompressionGzip : CompressionNone;
    h.MaxZoom = 31;
    std::vector<unsigned char> file(kHeaderSize);
    EncodeHeader(h, file.data());
    file.insert(file.end(), dir, dir + size);
    if (!tvkfuzz::WriteAll(path, file.data(), file.size())) return;

    TVK::eString error;
    auto source = TVK::ePMTilesFileSource::Open(path.c_str(), error);
    if (!source) return;
    TVK::ePMTilesReader reader(4096);  // a small cache, so evictions happen too
    if (!reader.Open(std::move(source))) return;
    for (uint64_t id : {uint64_t(0), uint64_t(1), uint64_t(5), uint64_t(100), uint64_t(1) << 40}) {
        int z = 0;
        uint32_t x = 0, y = 0;
        if (!TileIdToZxy(id, z, x, y)) continue;
        TVK::eByteArray data;
        if (reader.LoadTile(z, x, y, data) == TVK::ePMTilesReader::Found)
            Check(data.GetSize() > 0 && size_t(data.GetSize()) <= size);
    }
    size_t visits = 0;
    reader.ForEachTileEntry([&](const tagEntry&) { return ++visits < 100000; });
    reader.Check();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 1) return 0;
    const bool gzip = input[0] & 1, archive = input[0] & 2;
    const uint8_t* data = input + 1;
    size -= 1;
    if (archive) {
        FuzzArchive(data, size, gzip);
        return 0;
    }
    TVK::eByteArray plain;
    if (gzip) {
        if (!TVK::eGzip::Decompress(data, size, 1 << 20, plain)) return 0;
        data = plain.GetData();
        size = size_t(plain.GetSize());
    }
    std::vector<tagEntry> entries;
    if (!DecodeDirectory(data, size, entries)) {
        Check(entries.empty());
        return 0;
    }
    for (size_t i = 1; i < entries.size(); ++i) Check(entries[i].TileId > entries[i - 1].TileId);
    for (const tagEntry& e : entries) Check(e.Length > 0);
    std::vector<unsigned char> again;
    EncodeDirectory(entries, again);
    std::vector<tagEntry> back;
    Check(DecodeDirectory(again.data(), again.size(), back) && back == entries);
    // Lookups at every entry, just before and after it.
    for (const tagEntry& e : entries) {
        for (uint64_t id : {e.TileId - 1, e.TileId, e.TileId + 1, e.TileId + e.RunLength})
            Check(FindEntry(entries, id) == Scan(entries, id));
    }
    return 0;
}
