// Tile file and folder names of the layouts of one file per tile.
#include "storage/eTilePaths.h"

#include <charconv>
#include <cmath>

namespace TVK {
namespace tilepath {

const char* ExtText(eFileType::EmType type) {
    switch (type) {
        case eFileType::TIF: return "etif";
        case eFileType::BMP: return "ebmp";
        case eFileType::JPG: return "ejpg";
        case eFileType::PNG: return "epng";
        case eFileType::GIF: return "egif";
        case eFileType::BIL: return "ebil";
        case eFileType::DATA: return "edata";
        case eFileType::PBF: return "pbf";
    }
    return "png";  // unknown types: the plain extension, without the leading "e"
}

void AppendInt(std::string& out, long long value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    out.append(digits, end);
}

int FloorGroup(int n, int groupSize) {
    return static_cast<int>(std::floor(static_cast<double>(n) / static_cast<double>(groupSize)));
}

void AppendRoot(std::string& out, const std::string& root) {
    if (root.empty()) return;
    size_t keep = root.size();
    while (keep > 1 && root[keep - 1] == '/') --keep;
    out.append(root, 0, keep);
    if (out.back() != '/') out += '/';
}

namespace {

// At least four characters, '0' filled on the left of the sign as well
// (group -1 is "00-1"): the folder names existing caches already use.
void AppendGroup(std::string& out, int group) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof(digits), group).ptr;
    const size_t length = static_cast<size_t>(end - digits);
    if (length < 4) out.append(4 - length, '0');
    out.append(digits, end);
}

void AppendHex8(std::string& out, int value) {
    char digits[8];
    const auto end = std::to_chars(digits, digits + sizeof(digits), value, 16).ptr;
    const size_t length = static_cast<size_t>(end - digits);
    out.append(8 - length, '0');
    out.append(digits, end);
}

}  // namespace

void AppendNativeLevel(std::string& out, const eTileCoordSys& scheme, int level) {
    const double scale = scheme.GetLevelCaptions().at(static_cast<size_t>(level)).Scale;
    out += kAllLayers;
    out += '/';
    AppendInt(out, static_cast<int>(scheme.Scale2ScaleName(scale)));
}

void AppendGroupName(std::string& out, int rowGroup, int colGroup) {
    out += 'R';
    AppendGroup(out, rowGroup);
    out += 'C';
    AppendGroup(out, colGroup);
}

void AppendNativePath(std::string& out, const eTileCoordSys& scheme, int groupSize, int level,
                      int row, int col) {
    AppendNativeLevel(out, scheme, level);
    out += '/';
    AppendGroupName(out, FloorGroup(row, groupSize), FloorGroup(col, groupSize));
    out += '/';
    AppendInt(out, row);
    out += 'x';
    AppendInt(out, col);
}

void AppendLevelName(std::string& out, int levelNumber) {
    out += 'L';
    if (levelNumber >= 0 && levelNumber < 10) out += '0';
    AppendInt(out, levelNumber);
}

int LevelNumber(const eTileCoordSys& scheme, int level) {
    const auto& levels = scheme.GetLevelCaptions();
    if (level < 0 || static_cast<size_t>(level) >= levels.size()) return -1;
    return levels[static_cast<size_t>(level)].Level;
}

bool AppendArcGISPath(std::string& out, const eTileCoordSys& scheme, int level, int row, int col) {
    const int levelId = scheme.GetLevelCaptions().at(static_cast<size_t>(level)).Level;
    if (levelId < 0 || row < 0 || col < 0) return false;
    out += kAllLayers;
    out += '/';
    AppendLevelName(out, levelId);
    out += "/R";
    AppendHex8(out, row);
    out += "/C";
    AppendHex8(out, col);
    return true;
}

EmArcGISKind ArcGISKindOf(const eString& format, eFileType::EmType type) {
    if (format.IsEmpty()) return type == eFileType::JPG ? EmArcGISKind::Jpg : EmArcGISKind::Png;
    if (format.CompareNoCase("JPEG") == 0 || format.CompareNoCase("JPG") == 0)
        return EmArcGISKind::Jpg;
    if (format.CompareNoCase("MIXED") == 0) return EmArcGISKind::Mixed;
    return EmArcGISKind::Png;  // PNG, PNG8, PNG24, PNG32 and whatever else
}

bool IsJpegBytes(const unsigned char* data, unsigned int size) {
    return size >= 2 && data[0] == 0xFF && data[1] == 0xD8;
}

eString OtherKindPath(const eString& path) {
    std::string other = path.Std();
    const size_t at = other.size() - kArcGISExtLength;
    other.replace(at, kArcGISExtLength,
                  other.compare(at, kArcGISExtLength, "jpg") == 0 ? "png" : "jpg");
    return eString(std::move(other));
}

bool ParseHex8Name(const std::string& text, char prefix, int& value) {
    if (text.size() != 9 || text[0] != prefix) return false;
    uint32_t v = 0;
    for (size_t i = 1; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch >= '0' && ch <= '9')
            v = v * 16 + static_cast<uint32_t>(ch - '0');
        else if (ch >= 'a' && ch <= 'f')
            v = v * 16 + static_cast<uint32_t>(ch - 'a' + 10);
        else
            return false;
    }
    if (v > 0x7fffffffu) return false;
    value = static_cast<int>(v);
    return true;
}

bool ParseDecimal(const std::string& text, int& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    int v = 0;
    const auto result = std::from_chars(begin, end, v);
    if (result.ec != std::errc() || result.ptr != end || begin == end) return false;
    // Only the spelling AppendInt gives names the tile.
    std::string back;
    AppendInt(back, v);
    if (back != text) return false;
    value = v;
    return true;
}

namespace {

// A group as AppendGroup writes it.
bool ParseGroup(const std::string& text, int& group) {
    size_t skip = 0;
    while (skip + 1 < text.size() && text[skip] == '0') ++skip;
    int v = 0;
    const char* begin = text.data() + skip;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(begin, end, v);
    if (result.ec != std::errc() || result.ptr != end || begin == end) return false;
    std::string back;
    AppendGroup(back, v);
    if (back != text) return false;
    group = v;
    return true;
}

}  // namespace

bool ParseGroupName(const std::string& text, int& rowGroup, int& colGroup) {
    const size_t c = text.find('C');
    if (text.empty() || text[0] != 'R' || c == std::string::npos) return false;
    return ParseGroup(text.substr(1, c - 1), rowGroup) && ParseGroup(text.substr(c + 1), colGroup);
}

bool ParseLevelName(const std::string& text, int& levelNumber) {
    if (text.size() < 3 || text[0] != 'L') return false;
    int v = 0;
    if (!ParseDecimal(text.substr(1), v) || v < 0) {
        // "L05": the one spelling with a leading zero.
        if (text.size() != 3 || text[1] != '0' || text[2] < '0' || text[2] > '9') return false;
        v = text[2] - '0';
    }
    std::string back;
    AppendLevelName(back, v);
    if (back != text) return false;
    levelNumber = v;
    return true;
}

}  // namespace tilepath
}  // namespace TVK
