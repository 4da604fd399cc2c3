// eRasterCompact: file names, slot lookup, record reads, appends and removals
// on one V1 bundle pair, in this system's structure or ArcGIS's; the calls
// dispatch to eRasterCompact_v2.cpp for V2 bundles.
//
// All reads and writes are positioned (pread/pwrite through eFile), so there
// is no user-space buffer: another handle on the same pair sees a write as soon
// as it returns, and a read never answers from a stale buffer. A record is
// written completely before its slot is pointed at it, and every write is
// checked; a failed save leaves the slot as it was.
#include "eRasterCompact.h"

#include <memory>
#include <new>

#include "compact/eBundleFormat.h"

namespace TVK {

namespace {
const char kAllLayers[] = "_alllayers";
const char kDataExt[] = ".bundle";
const char kIndexExt[] = ".bundlx";
}  // namespace

eRasterCompact::eRasterCompact() = default;

eRasterCompact::eRasterCompact(const eRasterCompact& other)
    : m_strSrcPath(other.m_strSrcPath),
      m_nPacketSize(other.m_nPacketSize),
      m_nFormat(other.m_nFormat),
      m_bArcGISStructure(other.m_bArcGISStructure) {}

eRasterCompact& eRasterCompact::operator=(const eRasterCompact& other) {
    if (this != &other) {
        Close();
        m_strSrcPath = other.m_strSrcPath;
        m_nPacketSize = other.m_nPacketSize;
        m_nFormat = other.m_nFormat;
        m_bArcGISStructure = other.m_bArcGISStructure;
    }
    return *this;
}

eRasterCompact::~eRasterCompact() { Close(); }

void eRasterCompact::SetSrcPath(const eString& path) { m_strSrcPath = path; }

void eRasterCompact::SetBundleFormat(EmBundleFormat format) {
    if (format == m_nFormat) return;
    Close();  // the open files belong to the other format
    m_nFormat = format;
}

unsigned char eRasterCompact::Close() {
    m_BundleFile.Close();
    m_IndexFile.Close();
    ClearParam();
    return 1;
}

void eRasterCompact::ClearParam() {
    m_nCurRowGroup = -1;
    m_nCurColGroup = -1;
    m_nCurLevel = -1;
    m_strCurFileName.Empty();
    m_nKind = bundle::KindNative;
    m_bDataHeader = false;
    m_nBundleSize = 0;
}

unsigned char eRasterCompact::ComputeGroup(int& rowGroup, int& colGroup, int row, int col) const {
    if (row < 0 || col < 0) return 0;
    rowGroup = (row / m_nPacketSize) * m_nPacketSize;
    colGroup = (col / m_nPacketSize) * m_nPacketSize;
    return 1;
}

int eRasterCompact::SlotOf(int row, int col) const {
    // Column-major: the 128 rows of the block's first column come first.
    return (col % m_nPacketSize) * m_nPacketSize + (row % m_nPacketSize);
}

eString eRasterCompact::MakeRelativeString(int rowGroup, int colGroup, int level) const {
    // "%04x" is "%x" left-padded with zeros to four characters; longer stays whole.
    eString relative;
    relative.Format("%s/L%02d/R%04xC%04x", kAllLayers, level, static_cast<unsigned>(rowGroup),
                    static_cast<unsigned>(colGroup));
    return relative;
}

eString eRasterCompact::MakeBaseName(const eString& root, int rowGroup, int colGroup,
                                     int level) const {
    // GetAbsolutePath inserts the separator a root without a trailing '/' lacks.
    return eFile::GetAbsolutePath(root, MakeRelativeString(rowGroup, colGroup, level));
}

void eRasterCompact::SetOpen(const eString& root, eString dataName, int rowGroup, int colGroup,
                             int level) {
    m_nCurColGroup = colGroup;
    m_nCurRowGroup = rowGroup;
    m_strSrcPath = root;
    m_strCurFileName = std::move(dataName);
    m_nCurLevel = level;
}

unsigned char eRasterCompact::OpenPair(const eString& root, int rowGroup, int colGroup, int level) {
    Close();
    const eString base = MakeBaseName(root, rowGroup, colGroup, level);
    eString dataName = base + kDataExt;
    if (!m_BundleFile.Open(dataName, eFile::OpenReadWrite) ||
        !m_IndexFile.Open(base + kIndexExt, eFile::OpenReadWrite)) {
        Close();
        return 0;
    }
    // An index too short for its slots is no usable pair: every lookup would
    // read past its end and a save would write slots into a hole.
    unsigned char header[bundle::kIndexHeaderSize];
    const int64_t dataSize = m_BundleFile.Size();
    if (dataSize < 0 || m_IndexFile.Size() < bundle::kIndexSize ||
        m_IndexFile.ReadAt(0, header, sizeof header) != static_cast<int64_t>(sizeof header)) {
        Close();
        return 0;
    }
    m_nKind = bundle::KindOfIndexHeader(header);
    if (m_nKind == bundle::KindArcGIS) {
        // Only ArcGIS-headed pairs may carry the data header; a file that is
        // too short for it or says otherwise is left as it is.
        unsigned char dataHeader[bundle::kArcGISDataHeaderSize];
        m_bDataHeader = m_BundleFile.ReadAt(0, dataHeader, sizeof dataHeader) ==
                            static_cast<int64_t>(sizeof dataHeader) &&
                        bundle::IsArcGISDataHeader(dataHeader);
    }
    m_nBundleSize = dataSize;
    SetOpen(root, std::move(dataName), rowGroup, colGroup, level);
    return 1;
}

unsigned char eRasterCompact::IsCompactExist(int row, int col, int level, eString path) {
    if (path.IsEmpty() && m_strSrcPath.IsEmpty()) return 0;
    int rowGroup = 0, colGroup = 0;
    if (level < 0 || !ComputeGroup(rowGroup, colGroup, row, col)) return 0;
    if (rowGroup == m_nCurRowGroup && colGroup == m_nCurColGroup && level == m_nCurLevel) return 1;
    // Copy the root: opening closes first and stores it into m_strSrcPath.
    const eString root = path.IsEmpty() ? m_strSrcPath : path;
    if (m_nFormat == BundleV2) return OpenV2(root, rowGroup, colGroup, level);
    return OpenPair(root, rowGroup, colGroup, level);
}

eRasterCompact::EmSlot eRasterCompact::ReadSlot(int row, int col, int level, const eString& path,
                                                int32_t& offset) {
    if (!IsCompactExist(row, col, level, path)) return SlotUnavailable;
    unsigned char slot[bundle::kSlotSize];
    if (m_IndexFile.ReadAt(bundle::SlotPosition(SlotOf(row, col)), slot, sizeof slot) !=
        static_cast<int64_t>(sizeof slot))
        return SlotUnavailable;
    if (bundle::IsEmptyPattern(slot)) return SlotEmpty;
    offset = bundle::ReadInt32(slot);
    return SlotOffset;
}

int eRasterCompact::IsTileExist(int row, int col, int level, eString path) {
    if (m_nFormat == BundleV2) return IsTileExistV2(row, col, level, path);
    int32_t offset = 0;
    switch (ReadSlot(row, col, level, path, offset)) {
        case SlotUnavailable: return -2;
        case SlotEmpty: return -1;
        case SlotOffset: break;
    }
    return offset;
}

int32_t eRasterCompact::StoredLength(int32_t offset) {
    if (offset < 0) return 0;
    unsigned char bytes[bundle::kRecordLengthSize];
    if (m_BundleFile.ReadAt(offset, bytes, sizeof bytes) != static_cast<int64_t>(sizeof bytes))
        return 0;
    const int32_t length = bundle::ReadInt32(bytes);
    if (length <= 0) return 0;
    return EndsInsideFile(int64_t(offset) + bundle::kRecordLengthSize + length) ? length : 0;
}

bool eRasterCompact::EndsInsideFile(int64_t end) {
    if (end <= m_nBundleSize) return true;
    // Another handle may have appended since we last looked.
    m_nBundleSize = m_BundleFile.Size();
    return end <= m_nBundleSize;
}

unsigned char eRasterCompact::IsTileStored(int row, int col, int level) {
    if (m_nFormat == BundleV2) return IsTileStoredV2(row, col, level);
    int32_t offset = 0;
    if (ReadSlot(row, col, level, eString(), offset) != SlotOffset) return 0;
    return StoredLength(offset) > 0 ? 1 : 0;
}

int64_t eRasterCompact::LoadTileData(eByteArray& data, int row, int col, int level) {
    if (m_nFormat == BundleV2) return LoadTileDataV2(data, row, col, level);
    int32_t offset = 0;
    if (ReadSlot(row, col, level, eString(), offset) != SlotOffset) return 0;
    const int32_t length = StoredLength(offset);
    if (length <= 0) return 0;
    // The record was checked to lie inside the file; a short read now means
    // the file shrank under us, and the tile is reported missing.
    data.SetSize(length);
    data.SetPosition(0);
    if (m_BundleFile.ReadAt(int64_t(offset) + bundle::kRecordLengthSize, data.GetData(), length) !=
        length)
        return 0;
    return length;
}

unsigned char eRasterCompact::SaveTileData(const eByteArray& data, int row, int col, int level) {
    return SaveTileData(data.GetData(), data.GetSize(), row, col, level);
}

unsigned char eRasterCompact::SaveTileData(const unsigned char* data, int64_t size, int row,
                                           int col, int level) {
    if (m_nFormat == BundleV2) return SaveTileDataV2(data, size, row, col, level);
    // Record lengths are 32-bit signed.
    if (size < 0 || size > INT32_MAX || (data == nullptr && size > 0)) return 0;
    int32_t offset = 0;
    switch (ReadSlot(row, col, level, eString(), offset)) {
        case SlotUnavailable:
            // An open pair whose slot cannot be read is damaged: do not write.
            if (m_BundleFile.IsOpen()) return 0;
            if (!Create(row, col, level, eString())) return 0;
            break;
        case SlotEmpty: break;
        case SlotOffset:
            if (StoredLength(offset) > 0) return 0;  // never overwrite a stored tile
            break;
    }

    const int32_t length = static_cast<int32_t>(size);
    const int64_t position = m_BundleFile.Size();
    if (position < 0 || position > bundle::kMaxRecordOffset) return 0;

    unsigned char prefix[bundle::kRecordLengthSize];
    bundle::WriteInt32(prefix, static_cast<uint32_t>(length));
    if (!m_BundleFile.WriteAt(position, prefix, sizeof prefix)) return 0;
    if (length > 0 && !m_BundleFile.WriteAt(position + bundle::kRecordLengthSize, data, length))
        return 0;
    const int64_t end = position + bundle::kRecordLengthSize + length;
    if (end > m_nBundleSize) m_nBundleSize = end;

    unsigned char slot[bundle::kSlotSize];
    bundle::EncodeOffset(slot, position);
    if (!m_IndexFile.WriteAt(bundle::SlotPosition(SlotOf(row, col)), slot, sizeof slot)) return 0;
    // An empty record is no stored tile. Counters that cannot be written
    // fail the save, although the tile is stored by now.
    if (m_bDataHeader && !UpdateArcGISCounters(length, length > 0 ? 1 : 0)) return 0;
    return 1;
}

unsigned char eRasterCompact::RemoveTileData(int row, int col, int level) {
    if (m_nFormat == BundleV2) return RemoveTileDataV2(row, col, level);
    int32_t offset = 0;
    if (ReadSlot(row, col, level, eString(), offset) != SlotOffset) return 1;
    const int32_t length = StoredLength(offset);
    if (length <= 0) return 1;
    const int position = SlotOf(row, col);
    unsigned char slot[bundle::kSlotSize];
    bundle::EncodeEmpty(slot, static_cast<bundle::EmKind>(m_nKind), position);
    if (!m_IndexFile.WriteAt(bundle::SlotPosition(position), slot, sizeof slot)) return 0;
    // The largest tile stays: it bounds the tiles, and finding the new
    // largest would mean reading every record.
    return !m_bDataHeader || UpdateArcGISCounters(0, -1) ? 1 : 0;
}

bool eRasterCompact::UpdateArcGISCounters(int64_t length, int tiles) {
    // Under the bundle's write lock: read, change and write back bytes 8-31
    // (largest tile, the constant 5, 4 x tiles, file size) in one go each.
    unsigned char fields[bundle::kArcGISCountersSize];
    if (m_BundleFile.ReadAt(bundle::kArcGISCountersAt, fields, sizeof fields) !=
        static_cast<int64_t>(sizeof fields))
        return false;
    unsigned char* maxTile = fields + (bundle::kArcGISMaxTileField - bundle::kArcGISCountersAt);
    unsigned char* count = fields + (bundle::kArcGISTileCountField - bundle::kArcGISCountersAt);
    unsigned char* size = fields + (bundle::kArcGISFileSizeField - bundle::kArcGISCountersAt);
    if (uint64_t(length) > bundle::ReadLE(maxTile, 4))
        bundle::WriteLE(maxTile, uint64_t(length), 4);
    // The field holds 4 x the tiles; a damaged count never goes below 0.
    const int64_t tiles4 = static_cast<int64_t>(bundle::ReadLE(count, 8)) + 4 * int64_t(tiles);
    bundle::WriteLE(count, uint64_t(tiles4 > 0 ? tiles4 : 0), 8);
    const int64_t fileSize = m_BundleFile.Size();
    if (fileSize < 0) return false;
    bundle::WriteLE(size, uint64_t(fileSize), 8);
    return m_BundleFile.WriteAt(bundle::kArcGISCountersAt, fields, sizeof fields);
}

bool eRasterCompact::PrepareLevel(const eString& root, int level) const {
    eString levelDir;
    levelDir.Format("%s/L%02d", kAllLayers, level);
    return eFile::MkDirEx(eFile::GetAbsolutePath(root, levelDir));
}

unsigned char eRasterCompact::Create(int row, int col, int level, eString path) {
    if (path.IsEmpty() && m_strSrcPath.IsEmpty()) return 0;
    int rowGroup = 0, colGroup = 0;
    if (level < 0 || !ComputeGroup(rowGroup, colGroup, row, col)) return 0;
    const eString root = path.IsEmpty() ? m_strSrcPath : path;
    Close();
    // A folder that cannot be made shows as a failed exclusive creation below.
    PrepareLevel(root, level);

    const eString base = MakeBaseName(root, rowGroup, colGroup, level);
    const eString dataName = base + kDataExt;
    const eString indexName = base + kIndexExt;

    // Never truncate: a pair that another writer completed is used as it is,
    // a lone file of a pair is left alone and the save fails.
    const bool hasData = eFile::IsExist(dataName);
    const bool hasIndex = eFile::IsExist(indexName);
    if (hasData && hasIndex) return OpenPair(root, rowGroup, colGroup, level);
    if (hasData || hasIndex) return 0;

    if (!m_BundleFile.Open(dataName, eFile::CreateExclusive)) {
        Close();
        if (eFile::IsExist(dataName) && eFile::IsExist(indexName))
            return OpenPair(root, rowGroup, colGroup, level);
        return 0;
    }
    if (!m_IndexFile.Open(indexName, eFile::CreateExclusive)) {
        Close();
        eFile::Delete(dataName);  // ours: created exclusively just now
        return 0;
    }
    if (!WriteNewPair(rowGroup, colGroup)) {
        Close();
        eFile::Delete(dataName);
        eFile::Delete(indexName);
        return 0;
    }
    SetOpen(root, dataName, rowGroup, colGroup, level);
    return 1;
}

bool eRasterCompact::WriteNewPair(int rowGroup, int colGroup) {
    const bool arcgis = m_bArcGISStructure;
    const int64_t indexSize = arcgis ? bundle::kArcGISIndexSize : bundle::kIndexSize;
    std::unique_ptr<unsigned char[]> index(new (std::nothrow) unsigned char[indexSize]);
    if (!index) return false;
    if (arcgis) {
        std::memcpy(index.get(), bundle::kArcGISIndexHeader, bundle::kIndexHeaderSize);
        for (int slot = 0; slot < bundle::kSlotCount; ++slot)
            bundle::EncodeEmpty(index.get() + bundle::SlotPosition(slot), bundle::KindArcGIS, slot);
        std::memcpy(index.get() + bundle::kIndexSize, bundle::kArcGISIndexTrailer,
                    sizeof bundle::kArcGISIndexTrailer);
    } else {
        // The zero header, then every slot holding the empty pattern.
        std::memset(index.get(), 0, bundle::kIndexHeaderSize);
        std::memset(index.get() + bundle::kIndexHeaderSize, bundle::kEmptyByte,
                    bundle::kIndexSlotsSize);
    }
    if (arcgis) {
        // The data header, then one zero length per position.
        std::unique_ptr<unsigned char[]> data(
            new (std::nothrow) unsigned char[bundle::kArcGISDataStart]);
        if (!data) return false;
        bundle::EncodeArcGISDataHeader(data.get(), rowGroup, colGroup);
        std::memset(data.get() + bundle::kArcGISDataHeaderSize, 0,
                    bundle::kArcGISDataStart - bundle::kArcGISDataHeaderSize);
        if (!m_BundleFile.WriteAt(0, data.get(), bundle::kArcGISDataStart)) return false;
    }
    if (!m_IndexFile.WriteAt(0, index.get(), indexSize)) return false;
    m_nKind = arcgis ? bundle::KindArcGIS : bundle::KindNative;
    m_bDataHeader = arcgis;
    m_nBundleSize = arcgis ? bundle::kArcGISDataStart : 0;
    return true;
}

}  // namespace TVK
