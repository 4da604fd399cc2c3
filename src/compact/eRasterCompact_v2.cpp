// eRasterCompact on V2 bundles: one ".bundle" file per block holding a
// 64-byte header, 16,384 eight-byte entries and the records.
//
// The same rules as for V1 pairs hold: positioned reads and writes only, a
// record written completely before its entry points at it, every write
// checked, files created exclusively and never truncated. An entry is a tile
// when its size is above 0 and its bytes lie after the index and wholly
// inside the file; the 4-byte length before the bytes is written for other
// readers but not consulted, so a lookup is one 8-byte read.
#include <climits>
#include <memory>
#include <new>

#include "compact/eBundleFormat.h"
#include "eRasterCompact.h"

namespace TVK {

namespace {
const char kDataExt[] = ".bundle";
}  // namespace

int eRasterCompact::EntryOf(int row, int col) const {
    // Row-major: the 128 columns of the block's first row come first.
    return (row % m_nPacketSize) * m_nPacketSize + (col % m_nPacketSize);
}

unsigned char eRasterCompact::OpenV2(const eString& root, int rowGroup, int colGroup, int level) {
    Close();
    eString name = MakeBaseName(root, rowGroup, colGroup, level) + kDataExt;
    if (!m_BundleFile.Open(name, eFile::OpenReadWrite)) {
        Close();
        return 0;
    }
    // A file too short for its index, or whose header names another layout,
    // is no usable bundle: it is neither read nor written.
    unsigned char header[bundle::kV2HeaderSize];
    const int64_t size = m_BundleFile.Size();
    if (size < bundle::kV2RecordsStart ||
        m_BundleFile.ReadAt(0, header, sizeof header) != static_cast<int64_t>(sizeof header) ||
        !bundle::IsV2Header(header)) {
        Close();
        return 0;
    }
    m_nBundleSize = size;
    SetOpen(root, std::move(name), rowGroup, colGroup, level);
    return 1;
}

eRasterCompact::EmSlot eRasterCompact::ReadEntry(int row, int col, int level, const eString& path,
                                                 int64_t& offset, int64_t& size) {
    if (!IsCompactExist(row, col, level, path)) return SlotUnavailable;
    unsigned char entry[bundle::kV2EntrySize];
    if (m_BundleFile.ReadAt(bundle::V2EntryPosition(EntryOf(row, col)), entry, sizeof entry) !=
        static_cast<int64_t>(sizeof entry))
        return SlotUnavailable;
    bundle::DecodeV2Entry(entry, offset, size);
    return size == 0 ? SlotEmpty : SlotOffset;
}

bool eRasterCompact::IsStoredV2(int64_t offset, int64_t size) {
    if (size <= 0 || offset < bundle::kV2RecordsStart + bundle::kRecordLengthSize) return false;
    return EndsInsideFile(offset + size);
}

int eRasterCompact::IsTileExistV2(int row, int col, int level, const eString& path) {
    int64_t offset = 0, size = 0;
    switch (ReadEntry(row, col, level, path, offset, size)) {
        case SlotUnavailable: return -2;
        case SlotEmpty: return -1;
        case SlotOffset: break;
    }
    return offset > INT_MAX ? INT_MAX : static_cast<int>(offset);
}

unsigned char eRasterCompact::IsTileStoredV2(int row, int col, int level) {
    int64_t offset = 0, size = 0;
    if (ReadEntry(row, col, level, eString(), offset, size) != SlotOffset) return 0;
    return IsStoredV2(offset, size) ? 1 : 0;
}

int64_t eRasterCompact::LoadTileDataV2(eByteArray& data, int row, int col, int level) {
    int64_t offset = 0, size = 0;
    if (ReadEntry(row, col, level, eString(), offset, size) != SlotOffset) return 0;
    if (!IsStoredV2(offset, size)) return 0;
    // Checked to lie inside the file; a short read means it shrank under us.
    data.SetSize(static_cast<eInt>(size));
    data.SetPosition(0);
    if (m_BundleFile.ReadAt(offset, data.GetData(), size) != size) return 0;
    return size;
}

unsigned char eRasterCompact::SaveTileDataV2(const unsigned char* data, int64_t count, int row,
                                             int col, int level) {
    // An entry of size 0 means no tile, so an empty tile cannot be stored;
    // 24 bits bound the size.
    const int64_t length = count;
    if (data == nullptr || length <= 0 || length > bundle::kV2MaxTileSize) return 0;

    int64_t offset = 0, size = 0;
    switch (ReadEntry(row, col, level, eString(), offset, size)) {
        case SlotUnavailable:
            // An open bundle whose entry cannot be read is damaged: do not write.
            if (m_BundleFile.IsOpen()) return 0;
            if (!CreateV2(row, col, level)) return 0;
            break;
        case SlotEmpty: break;
        case SlotOffset:
            if (IsStoredV2(offset, size)) return 0;  // never overwrite a stored tile
            break;
    }

    const int64_t position = m_BundleFile.Size();
    if (position < bundle::kV2RecordsStart) return 0;
    const int64_t end = position + bundle::kRecordLengthSize + length;
    if (end > bundle::kV2MaxFileSize) return 0;

    unsigned char prefix[bundle::kRecordLengthSize];
    bundle::WriteInt32(prefix, static_cast<uint32_t>(length));
    if (!m_BundleFile.WriteAt(position, prefix, sizeof prefix) ||
        !m_BundleFile.WriteAt(position + bundle::kRecordLengthSize, data, length))
        return 0;
    if (end > m_nBundleSize) m_nBundleSize = end;

    // The header before the entry: should the entry write fail, the header
    // still tells the truth (the file did grow, and the largest tile bounds
    // the tiles).
    unsigned char head[bundle::kV2CountersEnd];
    if (m_BundleFile.ReadAt(0, head, sizeof head) != static_cast<int64_t>(sizeof head)) return 0;
    unsigned char* maxTile = head + bundle::kV2MaxTileField;
    if (bundle::HasV2MaxTileField(head) && uint64_t(length) > bundle::ReadLE(maxTile, 4))
        bundle::WriteLE(maxTile, uint64_t(length), 4);
    bundle::WriteLE(head + bundle::kV2FileSizeField, uint64_t(end), 8);
    if (!m_BundleFile.WriteAt(bundle::kV2CountersAt, head + bundle::kV2CountersAt,
                              bundle::kV2CountersEnd - bundle::kV2CountersAt))
        return 0;

    unsigned char entry[bundle::kV2EntrySize];
    bundle::EncodeV2Entry(entry, position + bundle::kRecordLengthSize, length);
    return m_BundleFile.WriteAt(bundle::V2EntryPosition(EntryOf(row, col)), entry, sizeof entry)
               ? 1
               : 0;
}

unsigned char eRasterCompact::RemoveTileDataV2(int row, int col, int level) {
    int64_t offset = 0, size = 0;
    if (ReadEntry(row, col, level, eString(), offset, size) != SlotOffset) return 1;
    if (!IsStoredV2(offset, size)) return 1;
    const unsigned char empty[bundle::kV2EntrySize] = {};
    return m_BundleFile.WriteAt(bundle::V2EntryPosition(EntryOf(row, col)), empty, sizeof empty)
               ? 1
               : 0;
}

unsigned char eRasterCompact::CreateV2(int row, int col, int level) {
    if (m_strSrcPath.IsEmpty()) return 0;
    int rowGroup = 0, colGroup = 0;
    if (level < 0 || !ComputeGroup(rowGroup, colGroup, row, col)) return 0;
    const eString root = m_strSrcPath;
    Close();
    PrepareLevel(root, level);

    const eString name = MakeBaseName(root, rowGroup, colGroup, level) + kDataExt;
    // Never truncate: a file that exists (made by another writer, or anything
    // else) is opened as it is, or the save fails and it stays untouched.
    if (eFile::IsExist(name)) return OpenV2(root, rowGroup, colGroup, level);
    if (!m_BundleFile.Open(name, eFile::CreateExclusive)) {
        Close();
        return eFile::IsExist(name) ? OpenV2(root, rowGroup, colGroup, level) : 0;
    }

    // The header and an index of zero entries, in one write.
    std::unique_ptr<unsigned char[]> buffer(
        new (std::nothrow) unsigned char[bundle::kV2RecordsStart]);
    bool written = false;
    if (buffer) {
        bundle::EncodeV2Header(buffer.get(), 0, uint64_t(bundle::kV2RecordsStart));
        std::memset(buffer.get() + bundle::kV2HeaderSize, 0, bundle::kV2IndexSize);
        written = m_BundleFile.WriteAt(0, buffer.get(), bundle::kV2RecordsStart);
    }
    if (!written) {
        Close();
        eFile::Delete(name);  // ours: created exclusively just now
        return 0;
    }
    m_nBundleSize = bundle::kV2RecordsStart;
    SetOpen(root, name, rowGroup, colGroup, level);
    return 1;
}

}  // namespace TVK
