// Compact bundle pairs read directly from their files.
#include "bundle_index.h"

#include <cstdio>
#include <cstring>

namespace TVK {
namespace cli {

namespace {

// The 16-byte index header of bundles ArcGIS writes.
constexpr unsigned char kArcGISIndexHeader[16] = {3, 0,    0, 0, 16, 0, 0, 0,
                                                  0, 0x40, 0, 0, 5,  0, 0, 0};

bool ParseHex(const std::string& text, int& value) {
    if (text.empty() || text.size() > 7) return false;
    int v = 0;
    for (char ch : text) {
        int digit;
        if (ch >= '0' && ch <= '9')
            digit = ch - '0';
        else if (ch >= 'a' && ch <= 'f')
            digit = ch - 'a' + 10;
        else
            return false;
        v = v * 16 + digit;
    }
    value = v;
    return true;
}

std::string Hex4(int value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%04x", static_cast<unsigned>(value));
    return text;
}

int64_t ReadLE32(const unsigned char* p) {
    return static_cast<int64_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}

// Opens `path` and reads its first `need` bytes, which hold `holds`; false
// with a reason starting with `noun` when it cannot or the file is shorter.
bool ReadHead(eFile& file, const std::string& path, int64_t need, const std::string& noun,
              const char* holds, std::vector<unsigned char>& head, int64_t& size,
              std::string& reason) {
    if (!file.Open(path, eFile::OpenRead)) {
        reason = noun + "cannot be opened";
        return false;
    }
    size = file.Size();
    if (size < need) {
        reason = noun + "is " + std::to_string(size) + " bytes, shorter than the " +
                 std::to_string(need) + " of " + holds;
        return false;
    }
    head.assign(static_cast<size_t>(need), 0);
    if (file.ReadAt(0, head.data(), need) != need) {
        reason = noun + "cannot be read";
        return false;
    }
    return true;
}

}  // namespace

std::string LevelFolderName(int level) {
    char text[16];
    std::snprintf(text, sizeof(text), "L%02d", level);
    return text;
}

bool ParseLevelFolder(const std::string& name, int& level) {
    if (name.size() < 3 || name.size() > 6 || name[0] != 'L') return false;
    int v = 0;
    for (size_t i = 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        v = v * 10 + (name[i] - '0');
    }
    if (LevelFolderName(v) != name) return false;
    level = v;
    return true;
}

std::string BundleBaseName(int rowGroup, int colGroup) {
    return "R" + Hex4(rowGroup) + "C" + Hex4(colGroup);
}

bool ParseBundleBaseName(const std::string& name, int& rowGroup, int& colGroup) {
    const auto c = name.find('C');
    if (name.empty() || name[0] != 'R' || c == std::string::npos) return false;
    int row = 0, col = 0;
    if (!ParseHex(name.substr(1, c - 1), row) || !ParseHex(name.substr(c + 1), col)) return false;
    if (row % kPacketSize != 0 || col % kPacketSize != 0) return false;
    if (BundleBaseName(row, col) != name) return false;
    rowGroup = row;
    colGroup = col;
    return true;
}

bool eBundleReader::Open(const std::string& indexPath, const std::string& dataPath,
                         std::string& reason) {
    eFile index;
    if (!ReadHead(index, indexPath, kIndexSize, "index file ", "16,384 slots", m_index, m_indexSize,
                  reason))
        return false;
    m_arcgis = std::memcmp(m_index.data(), kArcGISIndexHeader, sizeof(kArcGISIndexHeader)) == 0;
    if (!m_data.Open(dataPath, eFile::OpenRead)) {
        reason = "data file cannot be opened";
        return false;
    }
    m_dataSize = m_data.Size();
    if (m_dataSize < 0) {
        reason = "data file cannot be examined";
        return false;
    }
    return true;
}

eBundleReader::EmSlot eBundleReader::ReadSlot(int slot, int64_t& offset, int64_t& length) const {
    const unsigned char* p = m_index.data() + kIndexHeaderSize + slot * kSlotSize;
    offset = -1;
    length = 0;
    if (p[0] == 1 && p[1] == 1 && p[2] == 1 && p[3] == 1 && p[4] == 1) return SlotEmpty;
    // The fifth byte is the high byte of a position below 2 GiB; readers ignore it.
    offset = ReadLE32(p);
    if (offset >= (int64_t{1} << 31)) return SlotNegative;
    if (offset + 4 > m_dataSize) return SlotPastEnd;
    unsigned char field[4];
    if (m_data.ReadAt(offset, field, 4) != 4) return SlotPastEnd;
    length = ReadLE32(field);
    if (length >= (int64_t{1} << 31)) return SlotBadLength;
    if (length == 0) return SlotEmpty;
    if (offset + 4 + length > m_dataSize) return SlotRecordPastEnd;
    return SlotStored;
}

bool eBundleV2Reader::Open(const std::string& path, std::string& reason) {
    if (!ReadHead(m_file, path, kV2RecordsStart, "file ", "its header and 16,384 entries", m_head,
                  m_fileSize, reason))
        return false;
    if (HeaderField(kV2VersionAt, 4) != 3 ||
        HeaderField(kV2RecordCountAt, 4) != uint64_t(kSlotCount) ||
        HeaderField(kV2OffsetBytesAt, 4) != 5) {
        reason = "header is not a V2 bundle's (version 3, 16384 records, 5 offset bytes)";
        return false;
    }
    return true;
}

uint64_t eBundleV2Reader::HeaderField(int at, int count) const {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | m_head[static_cast<size_t>(at + i)];
    return value;
}

eBundleV2Reader::EmEntry eBundleV2Reader::ReadEntry(int entry, int64_t& offset,
                                                    int64_t& size) const {
    const uint64_t value = HeaderField(static_cast<int>(kV2HeaderSize + entry * kV2EntrySize), 8);
    offset = static_cast<int64_t>(value & ((uint64_t{1} << 40) - 1));
    size = static_cast<int64_t>(value >> 40);
    if (size == 0) return EntryEmpty;
    if (offset < kV2RecordsStart + 4) return EntryBeforeRecords;
    if (offset > m_fileSize) return EntryPastEnd;
    if (offset + size > m_fileSize) return EntryRecordPastEnd;
    return EntryStored;
}

int64_t eBundleV2Reader::RecordSize(int64_t offset) const {
    unsigned char field[4];
    if (offset < 4 || m_file.ReadAt(offset - 4, field, 4) != 4) return -1;
    return ReadLE32(field);
}

}  // namespace cli
}  // namespace TVK
