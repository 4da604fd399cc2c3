// eTileCoordSys: fields, copying, the level list and the operations that map
// between levels, scales, resolutions, scale names and render levels.
//
// The searches read LevelCaptions in place (no copy of the scale list): they
// run per view and must not allocate. They treat the list as increasing.
#include "eTileCoordSys.h"

#include <cmath>
#include <cstddef>

#include "platform/eAssert.h"

namespace TVK {

namespace {

constexpr const char* kSource = "eTileCoordSys";
// Source line under which the scale-name assertion is reported.
constexpr int kScaleNameAssertLine = 469;
// 2^30 still fits in an int: the furthest a level past the list may reach.
constexpr int kMaxLevelsPastEnd = 30;
// Exact equality tolerance of the level searches.
constexpr double kLevelTolerance = 1e-13;

// s outside (0, 1) as the list accepts it; tiny magnitudes count as zero.
bool IsOutsideScaleRange(double s) { return s < 0.0 || (s > -1e-20 && s < 1e-20) || s >= 1.0; }

}  // namespace

eTileCoordSys::eTileCoordSys()
    : TileSize(256), DataTileSize(256), LevelZoomMode(false), TileTopLevel(0), TileBottomLevel(22) {
    // 256 * 2^22, whatever the process-wide render level says.
    RefResolution = 1073741824.0;
}

eTileCoordSys::~eTileCoordSys() = default;

eTileCoordSys::eTileCoordSys(const eTileCoordSys& other) : eTileCoordSys() {
    *this = other;
    // Unlike an assignment, the copy trusts the coordinate system, not the
    // other's cached ratio, and takes DPI through millimetres and back.
    AdjustUnitsRatio();
    DPI = (other.DPI * 25.4) / 25.4;
}

eTileCoordSys& eTileCoordSys::operator=(const eTileCoordSys& other) {
    if (this == &other) return *this;
    eCoordSys::operator=(other);  // UnitsRatio copied as it is
    TileSize = other.TileSize;
    TileOrigin = other.TileOrigin;
    LevelCaptions = other.LevelCaptions;
    DataTileSize = other.DataTileSize;
    LevelZoomMode = other.LevelZoomMode;
    TileTopLevel = other.TileTopLevel;
    TileBottomLevel = other.TileBottomLevel;
    return *this;
}

void eTileCoordSys::SetLevelCaptions(const std::vector<tagLevelCaption>& captions) {
    LevelCaptions = captions;
    TileBottomLevel = static_cast<int32_t>(LevelCaptions.size()) - 1;
}

void eTileCoordSys::SetScales(const std::vector<double>& scales) {
    LevelCaptions.clear();
    for (size_t i = 0; i < scales.size(); ++i) {
        const double v = scales[i];
        // A value outside (0, 1) ends the list; the bottom level stays.
        if (IsOutsideScaleRange(v)) return;
        LevelCaptions.push_back(tagLevelCaption{v, static_cast<int32_t>(i)});
    }
    TileBottomLevel = static_cast<int32_t>(LevelCaptions.size()) - 1;
}

std::vector<double> eTileCoordSys::GetScales() const {
    std::vector<double> scales;
    scales.reserve(LevelCaptions.size());
    for (const tagLevelCaption& caption : LevelCaptions) scales.push_back(caption.Scale);
    return scales;
}

double eTileCoordSys::GetScale(int level) const {
    const int n = static_cast<int>(LevelCaptions.size());
    if (level < 0 || n == 0) {
        Eassert("level>=0 && !LevelCaptions.empty()", kSource, __LINE__);
        return 0.0;
    }
    if (level < n) return LevelCaptions[static_cast<size_t>(level)].Scale;
    // Past the end: keep doubling, as generated lists do from level to level.
    int d = level - n + 1;
    if (d > kMaxLevelsPastEnd) d = kMaxLevelsPastEnd;
    return LevelCaptions[static_cast<size_t>(n - 1)].Scale * static_cast<double>(1 << d);
}

int eTileCoordSys::GetZoom(double scale) const {
    const size_t n = LevelCaptions.size();
    if (n == 0) return -1;
    for (size_t i = 1; i < n; ++i) {
        const double prev = LevelCaptions[i - 1].Scale;
        const double cur = LevelCaptions[i].Scale;
        if (Eequal(scale, cur, kLevelTolerance)) return static_cast<int>(i);
        if (Eequal(scale, prev, kLevelTolerance)) return static_cast<int>(i - 1);
        if (prev < scale && scale < cur) return static_cast<int>(i - 1);
    }
    if (LevelCaptions[0].Scale > scale) return 0;
    if (scale > LevelCaptions[n - 1].Scale) return static_cast<int>(n - 1);
    return 0;
}

double eTileCoordSys::GetFixedScale(double scale, double direction) const {
    const size_t n = LevelCaptions.size();
    if (n == 0) return scale;
    for (size_t i = 1; i < n; ++i) {
        const double cur = LevelCaptions[i].Scale;
        if (Eequal(scale, cur, kLevelTolerance) || cur > scale)
            return direction > 0.0 ? cur : LevelCaptions[i - 1].Scale;
    }
    if (LevelCaptions[0].Scale > scale) return LevelCaptions[0].Scale;
    if (scale > LevelCaptions[n - 1].Scale) return LevelCaptions[n - 1].Scale;
    return LevelCaptions[0].Scale;
}

double eTileCoordSys::Round2NearestScale(double scale) const {
    const size_t n = LevelCaptions.size();
    if (n == 0) {
        Eassert("!LevelCaptions.empty()", kSource, __LINE__);
        return 0.0;
    }
    double found = 0.0;
    for (size_t i = 1; i < n; ++i) {
        const double prev = LevelCaptions[i - 1].Scale;
        const double cur = LevelCaptions[i].Scale;
        if (Eequal(scale, cur)) {
            found = cur;
            break;
        }
        if (Eequal(scale, prev) || (prev < scale && scale < cur)) {
            found = prev;
            break;
        }
    }
    if (found > -1e-13 && found < 1e-13) {
        if (LevelCaptions[0].Scale > scale) return LevelCaptions[0].Scale;
        if (scale > LevelCaptions[n - 1].Scale) return LevelCaptions[n - 1].Scale;
        return LevelCaptions[0].Scale;
    }
    return found;
}

double eTileCoordSys::Round2NearestVisibleScale(double scale) const {
    return Round2NearestScale(scale);
}

unsigned int eTileCoordSys::Scale2ScaleName(double scale) const {
    // NaN fails every comparison of the range test; it is refused as well.
    if (scale > 1.0 || (scale - 1.0 > -1e-20 && scale - 1.0 < 1e-20) ||
        (scale > -1e-20 && scale < 1e-20) || scale < 0.0 || std::isnan(scale)) {
        Eassert("FALSE", kSource, kScaleNameAssertLine);
        return 1;
    }
    const double name = 1.0 / scale + 0.5;
    // Names beyond 31 bits saturate rather than overflow the conversion.
    if (name >= 2147483647.0) return 2147483647u;
    return static_cast<unsigned int>(static_cast<int32_t>(name));
}

double eTileCoordSys::ScaleName2Scale(unsigned int name) const {
    return name == 0 ? 0.0 : 1.0 / static_cast<double>(name);
}

int eTileCoordSys::Resolution2Zoom(double resolution) const {
    return GetZoom((resolution * 10.0) / (DPI * 10000.0 * kCircumference));
}

double eTileCoordSys::Zoom2Resolution(int level) const {
    const double y = ((GetScale(level) * DPI) * 10000.0) * kCircumference / 10.0;
    // Half away from zero, kept in double: deep levels exceed 32 bits.
    return y >= 0.0 ? std::trunc(y + 0.5) : std::trunc(y - 0.5);
}

int eTileCoordSys::ZoomLevelToRenderLevel(int level) const {
    if (level < 0 || static_cast<size_t>(level) >= LevelCaptions.size()) return -1;
    return LevelCaptions[static_cast<size_t>(level)].Level;
}

}  // namespace TVK
