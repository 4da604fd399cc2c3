// eRasterCompact: file names, slot lookup, record reads, appends and removals
// on one V1 bundle pair, in this system's structure or ArcGIS's; the calls
// dispatch to eRasterCompact_v2.cpp for V2 bundles, and creation lives in
// eRasterCompact_create.cpp.
//
// All reads and writes are positioned (pread/pwrite through eFile), so there
// is no user-space buffer: another handle on the same pair sees a write as soon
// as it returns, and a read never answers from a stale buffer. Every write is
// checked; a failed save leaves the slot as it was.
//
// Several processes: a save or removal holds an exclusive lock on the data
// file (eFile::Lock, honoured by every process and released by the kernel if
// the holder dies) from reading the slot to writing the header counters, and
// finds the end of the data file under it, so records never overlap and a
// tile is stored at most once. Records are appended and never rewritten, and
// a slot is pointed at a record only once the record is whole, so a reader
// needs no lock to follow a slot. What a reader can see torn is the slot
// itself, read while a writer rewrites it: a load reads the slot again after
// the record and starts over when it changed, and slots that straddle a page
// boundary (which the kernel copies in two steps, with room for a writer to
// stall between them) are read under a shared lock instead. An existence
// test needs neither: every slot write turns "no tile" into "tile" or back,
// and a torn read answers one of the two.
#include "eRasterCompact.h"

#include <charconv>
#include <optional>
#include <utility>

#include "compact/eBundleFormat.h"
#include "compact/eMissingBundles.h"

namespace TVK {

namespace {
const char kAllLayers[] = "_alllayers";
const char kDataExt[] = ".bundle";
const char kIndexExt[] = ".bundlx";

// The kernel copies a read or write one page at a time; a slot crossing a
// boundary of the smallest page is copied in two steps.
constexpr int64_t kSmallestPage = 4096;

// Times a load starts over because its slot changed under it before it
// reads under the shared lock.
constexpr int kLockFreeAttempts = 4;

bool StraddlesPage(int64_t position, int64_t size) {
    return position / kSmallestPage != (position + size - 1) / kSmallestPage;
}

// Lowercase hex, left-padded with '0' to four characters; longer stays whole.
void AppendHex4(std::string& out, int value) {
    char digits[8];
    const auto end =
        std::to_chars(digits, digits + sizeof digits, static_cast<unsigned>(value), 16).ptr;
    const size_t length = static_cast<size_t>(end - digits);
    if (length < 4) out.append(4 - length, '0');
    out.append(digits, end);
}

// "_alllayers/L05/R0100C0080": the level with at least two digits.
void AppendRelativeName(std::string& out, int rowGroup, int colGroup, int level) {
    out += kAllLayers;
    out += "/L";
    if (level < 10) out += '0';
    char digits[16];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, level).ptr);
    out += "/R";
    AppendHex4(out, rowGroup);
    out += 'C';
    AppendHex4(out, colGroup);
}

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
    m_bCoherentLocks = false;
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

void eRasterCompact::ComposeName(const eString& root, int rowGroup, int colGroup, int level,
                                 const char* ext) {
    // Joined as eFile::GetAbsolutePath joins: one '/' between root and name.
    std::string& name = m_strName.Std();
    name.clear();
    const std::string& base = root.Std();
    size_t keep = base.size();
    while (keep > 1 && base[keep - 1] == '/') --keep;
    name.append(base, 0, keep);
    if (!name.empty() && name.back() != '/') name += '/';
    AppendRelativeName(name, rowGroup, colGroup, level);
    name += ext;
}

void eRasterCompact::SetOpen(const eString& root, int rowGroup, int colGroup, int level) {
    m_nCurColGroup = colGroup;
    m_nCurRowGroup = rowGroup;
    if (&root != &m_strSrcPath) m_strSrcPath = root;
    m_strCurFileName = m_strName;  // the data file's name, composed last
    m_nCurLevel = level;
    // Network file systems agree between machines only at locks.
    m_bCoherentLocks = m_BundleFile.IsOnNetworkFileSystem();
}

unsigned char eRasterCompact::OpenPair(const eString& root, int rowGroup, int colGroup, int level) {
    Close();
    // The index first: for a bundle that does not exist, one failed open.
    ComposeName(root, rowGroup, colGroup, level, kIndexExt);
    if (IsKnownMissing()) return 0;
    if (!m_IndexFile.Open(m_strName, eFile::OpenReadWrite)) {
        NoteMissing();
        return 0;
    }
    ComposeName(root, rowGroup, colGroup, level, kDataExt);
    if (!m_BundleFile.Open(m_strName, eFile::OpenReadWrite)) {
        Close();
        return 0;
    }
    // An index too short for its slots is no usable pair: every lookup would
    // read past its end and a save would write slots into a hole. Pairs are
    // published whole, so this is damage, never a creation in progress.
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
    SetOpen(root, rowGroup, colGroup, level);
    return 1;
}

bool eRasterCompact::IsKnownMissing() const {
    return m_pMissing != nullptr && m_pMissing->Holds(m_strName);
}

void eRasterCompact::NoteMissing() {
    if (m_pMissing == nullptr) m_pMissing = std::make_unique<eMissingBundles>();
    m_pMissing->Note(m_strName);
}

unsigned char eRasterCompact::IsCompactExist(int row, int col, int level, eString path) {
    if (path.IsEmpty() && m_strSrcPath.IsEmpty()) return 0;
    int rowGroup = 0, colGroup = 0;
    if (level < 0 || !ComputeGroup(rowGroup, colGroup, row, col)) return 0;
    // Files opened before a fork are shared with the parent, and so are
    // their locks: the child opens its own.
    if (m_BundleFile.IsInherited()) Close();
    if (rowGroup == m_nCurRowGroup && colGroup == m_nCurColGroup && level == m_nCurLevel) return 1;
    const eString& root = path.IsEmpty() ? m_strSrcPath : path;
    if (m_nFormat == BundleV2) return OpenV2(root, rowGroup, colGroup, level);
    return OpenPair(root, rowGroup, colGroup, level);
}

eRasterCompact::EmSlot eRasterCompact::ReadSlotAt(int slot, unsigned char raw[bundle::kSlotSize],
                                                  int32_t& offset) const {
    if (m_IndexFile.ReadAt(bundle::SlotPosition(slot), raw, bundle::kSlotSize) !=
        static_cast<int64_t>(bundle::kSlotSize))
        return SlotUnavailable;
    if (bundle::IsEmptyPattern(raw)) return SlotEmpty;
    offset = bundle::ReadInt32(raw);
    return SlotOffset;
}

eRasterCompact::EmSlot eRasterCompact::ReadSlot(int row, int col, int level, const eString& path,
                                                int32_t& offset) {
    if (!IsCompactExist(row, col, level, path)) return SlotUnavailable;
    unsigned char raw[bundle::kSlotSize];
    return ReadSlotAt(SlotOf(row, col), raw, offset);
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
    // Another handle, or another process, may have appended since.
    m_nBundleSize = m_BundleFile.Size();
    return end <= m_nBundleSize;
}

unsigned char eRasterCompact::IsTileStored(int row, int col, int level) {
    if (m_nFormat == BundleV2) return IsTileStoredV2(row, col, level);
    // No lock and no second look: see the top of the file.
    int32_t offset = 0;
    if (ReadSlot(row, col, level, eString(), offset) != SlotOffset) return 0;
    return StoredLength(offset) > 0 ? 1 : 0;
}

int32_t eRasterCompact::ReadTile(int slot, unsigned char raw[bundle::kSlotSize]) {
    int32_t offset = 0;
    if (ReadSlotAt(slot, raw, offset) != SlotOffset) return 0;
    const int32_t length = StoredLength(offset);
    if (length <= 0) return 0;
    // Checked to lie inside the file; a short read means it shrank under us.
    m_Scratch.SetSize(length);
    if (m_BundleFile.ReadAt(int64_t(offset) + bundle::kRecordLengthSize, m_Scratch.GetData(),
                            length) != length)
        return 0;
    return length;
}

int64_t eRasterCompact::GiveTile(eByteArray& data, int64_t length) {
    // The caller's array becomes the next scratch: no copy, and in steady
    // use no allocation.
    std::swap(data, m_Scratch);
    data.SetPosition(0);
    return length;
}

int64_t eRasterCompact::LoadTileData(eByteArray& data, int row, int col, int level) {
    if (m_nFormat == BundleV2) return LoadTileDataV2(data, row, col, level);
    if (!IsCompactExist(row, col, level, eString())) return 0;
    const int slot = SlotOf(row, col);
    unsigned char raw[bundle::kSlotSize], again[bundle::kSlotSize];
    if (!m_bCoherentLocks &&
        !StraddlesPage(bundle::SlotPosition(slot), static_cast<int64_t>(bundle::kSlotSize))) {
        for (int attempt = 0; attempt < kLockFreeAttempts; ++attempt) {
            const int32_t length = ReadTile(slot, raw);
            if (length <= 0) return 0;
            // The same slot after the record: it was no torn read, and the
            // record it named is the tile (records are never rewritten).
            int32_t offset = 0;
            if (ReadSlotAt(slot, again, offset) == SlotUnavailable) return 0;
            if (std::memcmp(raw, again, sizeof raw) == 0) return GiveTile(data, length);
        }
    }
    // Writers hold the exclusive lock while they write a slot.
    eFileLock lock(m_BundleFile, eFile::LockShared);
    std::optional<eFileLock> indexLock;
    if (m_bCoherentLocks) indexLock.emplace(m_IndexFile, eFile::LockShared);
    if (!lock.IsUsable() || (indexLock && !indexLock->IsUsable())) return 0;
    const int32_t length = ReadTile(slot, raw);
    return length > 0 ? GiveTile(data, length) : 0;
}

unsigned char eRasterCompact::SaveTileData(const eByteArray& data, int row, int col, int level) {
    return SaveTileData(data.GetData(), data.GetSize(), row, col, level);
}

unsigned char eRasterCompact::SaveTileData(const unsigned char* data, int64_t size, int row,
                                           int col, int level) {
    if (m_nFormat == BundleV2) return SaveTileDataV2(data, size, row, col, level);
    // Record lengths are 32-bit signed.
    if (size < 0 || size > INT32_MAX || (data == nullptr && size > 0)) return 0;
    if (!IsCompactExist(row, col, level, eString()) && !Create(row, col, level, eString()))
        return 0;

    // From the slot check to the counters, no other writer of any process.
    eFileLock lock(m_BundleFile, eFile::LockExclusive);
    std::optional<eFileLock> indexLock;
    if (m_bCoherentLocks) indexLock.emplace(m_IndexFile, eFile::LockExclusive);
    if (!lock.IsUsable() || (indexLock && !indexLock->IsUsable())) return 0;

    const int slot = SlotOf(row, col);
    unsigned char raw[bundle::kSlotSize];
    int32_t offset = 0;
    switch (ReadSlotAt(slot, raw, offset)) {
        case SlotUnavailable: return 0;  // an open pair whose slot cannot be read is damaged
        case SlotEmpty: break;
        case SlotOffset:
            if (StoredLength(offset) > 0) return 0;  // never overwrite a stored tile
            break;
    }

    // The end as it is now: another process may have appended since we last
    // looked.
    const int32_t length = static_cast<int32_t>(size);
    const int64_t position = m_BundleFile.Size();
    if (position < 0 || position > bundle::kMaxRecordOffset) return 0;
    unsigned char prefix[bundle::kRecordLengthSize];
    bundle::WriteInt32(prefix, static_cast<uint32_t>(length));
    if (!m_BundleFile.WriteAt(position, prefix, sizeof prefix, data, length)) return 0;
    const int64_t end = position + bundle::kRecordLengthSize + length;
    if (end > m_nBundleSize) m_nBundleSize = end;

    bundle::EncodeOffset(raw, position);
    if (!m_IndexFile.WriteAt(bundle::SlotPosition(slot), raw, sizeof raw)) return 0;
    // An empty record is no stored tile. Counters that cannot be written
    // fail the save, although the tile is stored by now.
    if (m_bDataHeader && !UpdateArcGISCounters(length, length > 0 ? 1 : 0, end)) return 0;
    return 1;
}

unsigned char eRasterCompact::RemoveTileData(int row, int col, int level) {
    if (m_nFormat == BundleV2) return RemoveTileDataV2(row, col, level);
    if (!IsCompactExist(row, col, level, eString())) return 1;
    eFileLock lock(m_BundleFile, eFile::LockExclusive);
    std::optional<eFileLock> indexLock;
    if (m_bCoherentLocks) indexLock.emplace(m_IndexFile, eFile::LockExclusive);
    if (!lock.IsUsable() || (indexLock && !indexLock->IsUsable())) return 0;

    const int slot = SlotOf(row, col);
    unsigned char raw[bundle::kSlotSize];
    int32_t offset = 0;
    if (ReadSlotAt(slot, raw, offset) != SlotOffset) return 1;
    if (StoredLength(offset) <= 0) return 1;
    bundle::EncodeEmpty(raw, static_cast<bundle::EmKind>(m_nKind), slot);
    if (!m_IndexFile.WriteAt(bundle::SlotPosition(slot), raw, sizeof raw)) return 0;
    if (!m_bDataHeader) return 1;
    // The largest tile stays: it bounds the tiles, and finding the new
    // largest would mean reading every record.
    const int64_t end = m_BundleFile.Size();
    return end >= 0 && UpdateArcGISCounters(0, -1, end) ? 1 : 0;
}

bool eRasterCompact::UpdateArcGISCounters(int64_t length, int tiles, int64_t end) {
    // Under the bundle's exclusive lock: read, change and write back bytes
    // 8-31 (largest tile, the constant 5, 4 x tiles, file size) in one go each.
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
    bundle::WriteLE(size, uint64_t(end), 8);
    return m_BundleFile.WriteAt(bundle::kArcGISCountersAt, fields, sizeof fields);
}

bool eRasterCompact::PrepareLevel(const eString& root, int level) const {
    eString levelDir;
    levelDir.Format("%s/L%02d", kAllLayers, level);
    return eFile::MkDirEx(eFile::GetAbsolutePath(root, levelDir));
}

}  // namespace TVK
