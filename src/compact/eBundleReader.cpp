// eBundleReader: bundles read for listings and checks.
#include "compact/eBundleReader.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "compact/eBundleFormat.h"

namespace TVK {
namespace bundle {

namespace {

// The records a check has seen, as (offset, length) pairs; several slots
// may point at one record, whose bytes then count once.
using tagRecords = std::vector<std::pair<int64_t, int64_t>>;

int64_t LiveBytes(tagRecords& records) {
    std::sort(records.begin(), records.end());
    int64_t live = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        if (i == 0 || records[i].first != records[i - 1].first)
            live += kRecordLengthSize + records[i].second;
    }
    return live;
}

// The V2 header fields whose value is fixed in the header ArcGIS writes,
// with that value; other writers have been seen leaving some of them
// different (0 records, 0 at 48), which a reader does not need.
constexpr struct {
    int At;
    int Count;
    uint64_t Usual;
} kV2UsualFields[] = {
    {4, 4, uint64_t(kSlotCount)},         {16, 8, 0}, {32, 8, 40},
    {40, 4, 20 + uint64_t(kV2IndexSize)}, {44, 4, 3}, {48, 4, 16},
    {52, 4, uint64_t(kSlotCount)},        {56, 4, 5}, {60, 4, uint64_t(kV2IndexSize)},
};

}  // namespace

void AppendBundleName(std::string& out, int rowGroup, int colGroup) {
    char text[32];
    const int n = std::snprintf(text, sizeof text, "R%04xC%04x", static_cast<unsigned>(rowGroup),
                                static_cast<unsigned>(colGroup));
    out.append(text, static_cast<size_t>(n));
}

bool ParseBundleName(const std::string& name, int& rowGroup, int& colGroup) {
    const size_t c = name.find('C');
    if (name.size() < 10 || name[0] != 'R' || c == std::string::npos) return false;
    unsigned row = 0, col = 0;
    const char* begin = name.data();
    const auto r1 = std::from_chars(begin + 1, begin + c, row, 16);
    const auto r2 = std::from_chars(begin + c + 1, begin + name.size(), col, 16);
    if (r1.ptr != begin + c || r2.ptr != begin + name.size() || r1.ec != std::errc() ||
        r2.ec != std::errc() || row > 0x7fffffffu || col > 0x7fffffffu || row % kPacketSize != 0 ||
        col % kPacketSize != 0)
        return false;
    // Only the spelling the handle builds opens the bundle.
    std::string back;
    AppendBundleName(back, static_cast<int>(row), static_cast<int>(col));
    if (back != name) return false;
    rowGroup = static_cast<int>(row);
    colGroup = static_cast<int>(col);
    return true;
}

tagCacheFinding eBundleReader::Finding(eCacheCheck::EmFinding kind, const eString& path) const {
    tagCacheFinding finding;
    finding.Kind = kind;
    finding.Path = path;
    return finding;
}

void eBundleReader::Close() {
    m_Index.Close();
    m_Data.Close();
    m_nIndexSize = m_nDataSize = 0;
}

bool eBundleReader::OpenV1(const eString& indexPath, const eString& dataPath,
                           tagCacheFinding& failure) {
    Close();
    m_bV2 = false;
    m_strIndexPath = indexPath;
    m_strDataPath = dataPath;
    if (!m_Index.Open(indexPath, eFile::OpenRead) || (m_nIndexSize = m_Index.Size()) < 0) {
        failure = Finding(eCacheCheck::FileUnreadable, indexPath);
        return false;
    }
    // The handle refuses an index too short for its slots: no tile of it is found.
    if (m_nIndexSize < kIndexSize) {
        failure = Finding(eCacheCheck::IndexTooShort, indexPath);
        failure.FileSize = m_nIndexSize;
        failure.Expected = kIndexSize;
        return false;
    }
    m_Head.resize(static_cast<size_t>(kIndexSize));
    if (m_Index.ReadAt(0, m_Head.data(), kIndexSize) != kIndexSize) {
        failure = Finding(eCacheCheck::FileUnreadable, indexPath);
        return false;
    }
    m_bArcGIS = KindOfIndexHeader(m_Head.data()) == KindArcGIS;
    if (!m_Data.Open(dataPath, eFile::OpenRead) || (m_nDataSize = m_Data.Size()) < 0) {
        failure = Finding(
            eFile::IsExist(dataPath) ? eCacheCheck::FileUnreadable : eCacheCheck::IndexWithoutData,
            eFile::IsExist(dataPath) ? dataPath : indexPath);
        return false;
    }
    return true;
}

bool eBundleReader::OpenV2(const eString& path, tagCacheFinding& failure) {
    Close();
    m_bV2 = true;
    m_bArcGIS = false;
    m_strIndexPath = m_strDataPath = path;
    if (!m_Data.Open(path, eFile::OpenRead) || (m_nDataSize = m_Data.Size()) < 0) {
        failure = Finding(eCacheCheck::FileUnreadable, path);
        return false;
    }
    if (m_nDataSize < kV2RecordsStart) {
        failure = Finding(eCacheCheck::BundleTooShort, path);
        failure.FileSize = m_nDataSize;
        failure.Expected = kV2RecordsStart;
        return false;
    }
    m_Head.resize(static_cast<size_t>(kV2RecordsStart));
    if (m_Data.ReadAt(0, m_Head.data(), kV2RecordsStart) != kV2RecordsStart) {
        failure = Finding(eCacheCheck::FileUnreadable, path);
        return false;
    }
    // What reading needs, no more: other writers fill the rest differently.
    if (!IsV2Header(m_Head.data())) {
        failure = Finding(eCacheCheck::NotABundleHeader, path);
        return false;
    }
    m_nIndexSize = kV2RecordsStart;
    return true;
}

bool eBundleReader::IsUnchanged() {
    const eFile& file = m_bV2 ? m_Data : m_Index;
    const int64_t size = static_cast<int64_t>(m_Head.size());
    m_Again.resize(m_Head.size());
    return file.ReadAt(0, m_Again.data(), size) == size && m_Again == m_Head;
}

eBundleReader::EmState eBundleReader::Inspect(int position, int64_t& offset, int64_t& size) const {
    const int row = position / kPacketSize, col = position % kPacketSize;
    size = 0;
    if (m_bV2) {
        DecodeV2Entry(m_Head.data() + V2EntryPosition(position), offset, size);
        if (size == 0) return StateEmpty;
        if (offset < kV2RecordsStart + kRecordLengthSize) return StateInsideIndex;
        if (offset > m_nDataSize) return StateOutsideFile;
        return offset + size > m_nDataSize ? StateRunsPastEnd : StateStored;
    }
    // Column-major slots: the 128 rows of the block's first column come first.
    const unsigned char* slot = m_Head.data() + SlotPosition(col * kPacketSize + row);
    offset = -1;
    if (IsEmptyPattern(slot)) return StateEmpty;
    // The fifth byte is the high byte of a position below 2 GiB; readers ignore it.
    offset = static_cast<int64_t>(ReadLE(slot, 4));
    if (offset > kMaxRecordOffset) return StateBeyond2GiB;
    unsigned char length[kRecordLengthSize];
    if (offset + kRecordLengthSize > m_nDataSize ||
        m_Data.ReadAt(offset, length, sizeof length) != kRecordLengthSize)
        return StateOutsideFile;
    size = static_cast<int64_t>(ReadLE(length, 4));
    if (size > kMaxRecordOffset) return StateNegativeLength;
    if (size == 0) return StateEmpty;
    return offset + kRecordLengthSize + size > m_nDataSize ? StateRunsPastEnd : StateStored;
}

void eBundleReader::ListTiles(int level, int rowGroup, int colGroup,
                              std::vector<tagStoredTile>& tiles) const {
    for (int position = 0; position < kSlotCount; ++position) {
        int64_t offset = 0, size = 0;
        if (Inspect(position, offset, size) != StateStored) continue;
        tiles.push_back(
            {level, rowGroup + position / kPacketSize, colGroup + position % kPacketSize, size});
    }
}

void eBundleReader::CheckV2Header(std::vector<tagCacheFinding>& findings) const {
    const unsigned char* header = m_Head.data();
    // A save appends its record before it updates the header: a header behind
    // the file is an interrupted save's leftover, one ahead of it a cut file.
    const int64_t recorded = static_cast<int64_t>(ReadLE(header + kV2FileSizeField, 8));
    if (recorded != m_nDataSize) {
        tagCacheFinding finding = Finding(
            recorded > m_nDataSize ? eCacheCheck::HeaderSizeTooLarge : eCacheCheck::HeaderSizeSmall,
            m_strDataPath);
        finding.FileSize = m_nDataSize;
        finding.Expected = recorded;
        findings.push_back(finding);
    }
    for (const auto& field : kV2UsualFields) {
        const uint64_t value = ReadLE(header + field.At, field.Count);
        if (value == field.Usual) continue;
        tagCacheFinding finding = Finding(eCacheCheck::HeaderFieldUnusual, m_strDataPath);
        finding.Offset = field.At;
        finding.Size = static_cast<int64_t>(value);
        finding.Expected = static_cast<int64_t>(field.Usual);
        findings.push_back(finding);
    }
}

void eBundleReader::Check(int rowGroup, int colGroup, std::vector<tagCacheFinding>& findings,
                          tagCacheTotals& totals) const {
    int64_t start = 0;  // where records begin
    if (m_bV2) {
        CheckV2Header(findings);
        start = kV2RecordsStart;
    } else {
        if (m_nIndexSize != kIndexSize && m_nIndexSize != kArcGISIndexSize) {
            tagCacheFinding finding = Finding(eCacheCheck::IndexSizeUnusual, m_strIndexPath);
            finding.FileSize = m_nIndexSize;
            findings.push_back(finding);
        }
        // ArcGIS's data file starts with its header and one zero length per position.
        start = m_bArcGIS ? kArcGISDataStart : 0;
        if (m_nDataSize < start) {
            tagCacheFinding finding = Finding(eCacheCheck::DataTooShort, m_strDataPath);
            finding.FileSize = m_nDataSize;
            finding.Expected = start;
            findings.push_back(finding);
        }
    }

    tagRecords records;
    int64_t largest = 0;
    for (int position = 0; position < kSlotCount; ++position) {
        int64_t offset = 0, size = 0;
        const EmState state = Inspect(position, offset, size);
        if (state == StateEmpty) continue;
        tagCacheFinding finding;
        finding.Path = m_strDataPath;
        finding.Row = rowGroup + position / kPacketSize;
        finding.Col = colGroup + position % kPacketSize;
        finding.Slot =
            m_bV2 ? position : (position % kPacketSize) * kPacketSize + position / kPacketSize;
        finding.Offset = offset;
        switch (state) {
            case StateStored: {
                ++totals.Tiles;
                totals.Bytes += size;
                largest = std::max(largest, size);
                // A V2 entry points just past its record's length.
                const int64_t record = m_bV2 ? offset - kRecordLengthSize : offset;
                records.emplace_back(record, size);
                if (!m_bV2) continue;
                unsigned char length[kRecordLengthSize];
                const int64_t prefix =
                    m_Data.ReadAt(record, length, sizeof length) == kRecordLengthSize
                        ? static_cast<int64_t>(ReadLE(length, 4))
                        : -1;
                if (prefix == size) continue;
                finding.Kind = eCacheCheck::RecordSizeMismatch;
                finding.Size = size;
                finding.Expected = prefix;
                break;
            }
            case StateBeyond2GiB: finding.Kind = eCacheCheck::RecordBeyond2GiB; break;
            case StateOutsideFile:
                finding.Kind = eCacheCheck::RecordOutsideFile;
                finding.FileSize = m_nDataSize;
                break;
            case StateRunsPastEnd:
                finding.Kind = eCacheCheck::RecordRunsPastEnd;
                finding.Size = size;
                finding.FileSize = m_nDataSize;
                break;
            case StateNegativeLength: finding.Kind = eCacheCheck::RecordNegativeLength; break;
            case StateInsideIndex: finding.Kind = eCacheCheck::RecordInsideIndex; break;
            case StateEmpty: break;
        }
        findings.push_back(finding);
    }

    const int64_t dead = m_nDataSize - start - LiveBytes(records);
    if (dead > 0) {
        totals.DeadBytes += dead;
        tagCacheFinding finding = Finding(eCacheCheck::DeadSpace, m_strDataPath);
        finding.Size = dead;
        findings.push_back(finding);
    }
    // Only a header counting the usual records is trusted to hold the
    // largest record; other writers put unrelated values there.
    if (m_bV2 && HasV2MaxTileField(m_Head.data())) {
        const int64_t field = static_cast<int64_t>(ReadLE(m_Head.data() + kV2MaxTileField, 4));
        if (field < largest) {
            tagCacheFinding finding = Finding(eCacheCheck::HeaderMaxTileSmall, m_strDataPath);
            finding.Size = largest;
            finding.Expected = field;
            findings.push_back(finding);
        }
    }
}

}  // namespace bundle
}  // namespace TVK
