// eRasterCompact on V2 bundles: one ".bundle" file per block holding a
// 64-byte header, 16,384 eight-byte entries and the records.
//
// The same rules as for V1 pairs hold (see eRasterCompact.cpp): positioned
// reads and writes only, every write checked, a writer of any process holds
// the exclusive lock on the file from the entry check to the entry write and
// appends at the end it finds under the lock, and a record is written whole
// before its entry points at it and never rewritten. An entry is a tile when
// its size is above 0 and its bytes lie after the index and wholly inside the
// file.
//
// A load needs no second look at its entry, unlike a V1 slot: entries are
// 8-byte aligned words that no page boundary splits, and the record's own
// 4-byte length, read in the same call as the tile, must repeat the entry's
// size. Only when it does not (a torn entry would have to point exactly past
// a record of the size it names) is the tile read again under the shared
// lock, where the entry decides alone, as for files whose other writers left
// that length wrong.
#include <climits>
#include <cstring>

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
    ComposeName(root, rowGroup, colGroup, level, kDataExt);
    if (IsKnownMissing()) return 0;
    if (!m_BundleFile.Open(m_strName, eFile::OpenReadWrite)) {
        NoteMissing();
        return 0;
    }
    // A file too short for its index, or whose header names another layout,
    // is no usable bundle: it is neither read nor written. Bundles are
    // published whole, so this is never a creation in progress.
    unsigned char header[bundle::kV2HeaderSize];
    const int64_t size = m_BundleFile.Size();
    if (size < bundle::kV2RecordsStart ||
        m_BundleFile.ReadAt(0, header, sizeof header) != static_cast<int64_t>(sizeof header) ||
        !bundle::IsV2Header(header)) {
        Close();
        return 0;
    }
    m_nBundleSize = size;
    SetOpen(root, rowGroup, colGroup, level);
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

int64_t eRasterCompact::ReadTileV2(int entry, bool checkLength) {
    unsigned char raw[bundle::kV2EntrySize];
    if (m_BundleFile.ReadAt(bundle::V2EntryPosition(entry), raw, sizeof raw) !=
        static_cast<int64_t>(sizeof raw))
        return 0;
    int64_t offset = 0, size = 0;
    bundle::DecodeV2Entry(raw, offset, size);
    if (!IsStoredV2(offset, size)) return 0;
    // Checked to lie inside the file; a short read means it shrank under us.
    unsigned char length[bundle::kRecordLengthSize];
    m_Scratch.SetSize(static_cast<eInt>(size));
    if (m_BundleFile.ReadAt(offset - bundle::kRecordLengthSize, length, sizeof length,
                            m_Scratch.GetData(),
                            size) != static_cast<int64_t>(sizeof length) + size)
        return 0;
    if (checkLength && bundle::ReadInt32(length) != size) return -1;
    return size;
}

int64_t eRasterCompact::LoadTileDataV2(eByteArray& data, int row, int col, int level) {
    if (!IsCompactExist(row, col, level, eString())) return 0;
    const int entry = EntryOf(row, col);
    if (!m_bCoherentLocks) {
        const int64_t size = ReadTileV2(entry, true);
        if (size >= 0) return size > 0 ? GiveTile(data, size) : 0;
    }
    eFileLock lock(m_BundleFile, eFile::LockShared);
    if (!lock.IsUsable()) return 0;
    const int64_t size = ReadTileV2(entry, false);
    return size > 0 ? GiveTile(data, size) : 0;
}

unsigned char eRasterCompact::SaveTileDataV2(const unsigned char* data, int64_t count, int row,
                                             int col, int level) {
    // An entry of size 0 means no tile, so an empty tile cannot be stored;
    // 24 bits bound the size.
    const int64_t length = count;
    if (data == nullptr || length <= 0 || length > bundle::kV2MaxTileSize) return 0;
    if (!IsCompactExist(row, col, level, eString()) && !CreateV2(row, col, level)) return 0;

    eFileLock lock(m_BundleFile, eFile::LockExclusive);
    if (!lock.IsUsable()) return 0;
    const int entryAt = EntryOf(row, col);
    unsigned char entry[bundle::kV2EntrySize];
    if (m_BundleFile.ReadAt(bundle::V2EntryPosition(entryAt), entry, sizeof entry) !=
        static_cast<int64_t>(sizeof entry))
        return 0;  // an open bundle whose entry cannot be read is damaged
    int64_t offset = 0, size = 0;
    bundle::DecodeV2Entry(entry, offset, size);
    if (IsStoredV2(offset, size)) return 0;  // never overwrite a stored tile

    // The end as it is now, not as this handle last saw it.
    const int64_t position = m_BundleFile.Size();
    if (position < bundle::kV2RecordsStart) return 0;
    const int64_t end = position + bundle::kRecordLengthSize + length;
    if (end > bundle::kV2MaxFileSize) return 0;
    unsigned char prefix[bundle::kRecordLengthSize];
    bundle::WriteInt32(prefix, static_cast<uint32_t>(length));
    if (!m_BundleFile.WriteAt(position, prefix, sizeof prefix, data, length)) return 0;
    if (end > m_nBundleSize) m_nBundleSize = end;

    // The header before the entry: should the entry write fail, or the
    // writer die, the header still tells the truth (the file did grow, and
    // the largest tile bounds the tiles).
    unsigned char head[bundle::kV2CountersEnd];
    if (m_BundleFile.ReadAt(0, head, sizeof head) != static_cast<int64_t>(sizeof head)) return 0;
    unsigned char* maxTile = head + bundle::kV2MaxTileField;
    if (bundle::HasV2MaxTileField(head) && uint64_t(length) > bundle::ReadLE(maxTile, 4))
        bundle::WriteLE(maxTile, uint64_t(length), 4);
    bundle::WriteLE(head + bundle::kV2FileSizeField, uint64_t(end), 8);
    if (!m_BundleFile.WriteAt(bundle::kV2CountersAt, head + bundle::kV2CountersAt,
                              bundle::kV2CountersEnd - bundle::kV2CountersAt))
        return 0;

    bundle::EncodeV2Entry(entry, position + bundle::kRecordLengthSize, length);
    return m_BundleFile.WriteAt(bundle::V2EntryPosition(entryAt), entry, sizeof entry) ? 1 : 0;
}

unsigned char eRasterCompact::RemoveTileDataV2(int row, int col, int level) {
    if (!IsCompactExist(row, col, level, eString())) return 1;
    eFileLock lock(m_BundleFile, eFile::LockExclusive);
    if (!lock.IsUsable()) return 0;
    const int64_t position = bundle::V2EntryPosition(EntryOf(row, col));
    unsigned char entry[bundle::kV2EntrySize];
    if (m_BundleFile.ReadAt(position, entry, sizeof entry) != static_cast<int64_t>(sizeof entry))
        return 1;
    int64_t offset = 0, size = 0;
    bundle::DecodeV2Entry(entry, offset, size);
    if (!IsStoredV2(offset, size)) return 1;
    const unsigned char empty[bundle::kV2EntrySize] = {};
    return m_BundleFile.WriteAt(position, empty, sizeof empty) ? 1 : 0;
}

}  // namespace TVK
