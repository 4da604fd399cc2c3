// eRasterCompact: file names, slot lookup, record reads, appends and removals
// on one bundle pair.
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
    : m_strSrcPath(other.m_strSrcPath), m_nPacketSize(other.m_nPacketSize) {}

eRasterCompact& eRasterCompact::operator=(const eRasterCompact& other) {
    if (this != &other) {
        Close();
        m_strSrcPath = other.m_strSrcPath;
        m_nPacketSize = other.m_nPacketSize;
    }
    return *this;
}

eRasterCompact::~eRasterCompact() { Close(); }

void eRasterCompact::SetSrcPath(const eString& path) { m_strSrcPath = path; }

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

unsigned char eRasterCompact::OpenPair(const eString& root, int rowGroup, int colGroup, int level) {
    Close();
    // GetAbsolutePath inserts the separator a root without a trailing '/' lacks.
    const eString base = eFile::GetAbsolutePath(root, MakeRelativeString(rowGroup, colGroup, level));
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
    m_nBundleSize = dataSize;
    m_nCurColGroup = colGroup;
    m_nCurRowGroup = rowGroup;
    m_strSrcPath = root;
    m_strCurFileName = std::move(dataName);
    m_nCurLevel = level;
    return 1;
}

unsigned char eRasterCompact::IsCompactExist(int row, int col, int level, eString path) {
    if (path.IsEmpty() && m_strSrcPath.IsEmpty()) return 0;
    int rowGroup = 0, colGroup = 0;
    if (level < 0 || !ComputeGroup(rowGroup, colGroup, row, col)) return 0;
    if (rowGroup == m_nCurRowGroup && colGroup == m_nCurColGroup && level == m_nCurLevel) return 1;
    // Copy the root: OpenPair closes first and stores it into m_strSrcPath.
    const eString root = path.IsEmpty() ? m_strSrcPath : path;
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
    const int64_t end = int64_t(offset) + bundle::kRecordLengthSize + length;
    if (end > m_nBundleSize) {
        // Another handle may have appended since we last looked.
        m_nBundleSize = m_BundleFile.Size();
        if (end > m_nBundleSize) return 0;
    }
    return length;
}

unsigned char eRasterCompact::IsTileStored(int row, int col, int level) {
    int32_t offset = 0;
    if (ReadSlot(row, col, level, eString(), offset) != SlotOffset) return 0;
    return StoredLength(offset) > 0 ? 1 : 0;
}

int64_t eRasterCompact::LoadTileData(eByteArray& data, int row, int col, int level) {
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

    const int32_t length = data.GetSize();
    const int64_t position = m_BundleFile.Size();
    if (position < 0 || position > bundle::kMaxRecordOffset) return 0;

    unsigned char prefix[bundle::kRecordLengthSize];
    bundle::WriteInt32(prefix, static_cast<uint32_t>(length));
    if (!m_BundleFile.WriteAt(position, prefix, sizeof prefix)) return 0;
    if (length > 0 &&
        !m_BundleFile.WriteAt(position + bundle::kRecordLengthSize, data.GetData(), length))
        return 0;
    const int64_t end = position + bundle::kRecordLengthSize + length;
    if (end > m_nBundleSize) m_nBundleSize = end;

    unsigned char slot[bundle::kSlotSize];
    bundle::EncodeOffset(slot, position);
    return m_IndexFile.WriteAt(bundle::SlotPosition(SlotOf(row, col)), slot, sizeof slot) ? 1 : 0;
}

unsigned char eRasterCompact::RemoveTileData(int row, int col, int level) {
    int32_t offset = 0;
    if (ReadSlot(row, col, level, eString(), offset) != SlotOffset) return 1;
    if (StoredLength(offset) <= 0) return 1;
    const int position = SlotOf(row, col);
    unsigned char slot[bundle::kSlotSize];
    bundle::EncodeEmpty(slot, static_cast<bundle::EmKind>(m_nKind), position);
    return m_IndexFile.WriteAt(bundle::SlotPosition(position), slot, sizeof slot) ? 1 : 0;
}

unsigned char eRasterCompact::Create(int row, int col, int level, eString path) {
    if (path.IsEmpty() && m_strSrcPath.IsEmpty()) return 0;
    int rowGroup = 0, colGroup = 0;
    if (level < 0 || !ComputeGroup(rowGroup, colGroup, row, col)) return 0;
    const eString root = path.IsEmpty() ? m_strSrcPath : path;
    Close();

    eString levelDir;
    levelDir.Format("%s/L%02d", kAllLayers, level);
    eFile::MkDirEx(eFile::GetAbsolutePath(root, levelDir));

    const eString base = eFile::GetAbsolutePath(root, MakeRelativeString(rowGroup, colGroup, level));
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

    // A new index: the zero header, then every slot holding the empty pattern,
    // in one write. The data file stays empty.
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[bundle::kIndexSize]);
    bool written = false;
    if (buffer) {
        std::memset(buffer.get(), 0, bundle::kIndexHeaderSize);
        std::memset(buffer.get() + bundle::kIndexHeaderSize, bundle::kEmptyByte,
                    bundle::kIndexSlotsSize);
        written = m_IndexFile.WriteAt(0, buffer.get(), bundle::kIndexSize);
    }
    if (!written) {
        Close();
        eFile::Delete(dataName);
        eFile::Delete(indexName);
        return 0;
    }

    m_nKind = bundle::KindNative;
    m_nBundleSize = 0;
    m_nCurColGroup = colGroup;
    m_nCurRowGroup = rowGroup;
    m_strSrcPath = root;
    m_strCurFileName = dataName;
    m_nCurLevel = level;
    return 1;
}

}  // namespace TVK
