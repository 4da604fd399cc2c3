// eTileCoordSys scale computation: scale lists for a coordinate system with
// no cache description, and scale <-> map resolution conversions.
//
// The static operations use an integer units ratio U derived from the
// coordinate system they are given (not the scheme's UnitsRatio): for a
// geographic system it is truncated to a whole number.
#include "eTileCoordSys.h"

#include <cstdint>

#include "coordsys/eTileMath.h"
#include "coordsys/eUnitsRatio.h"

namespace TVK {

namespace {

// Fixed pixel size (metres) and metres per degree of CalculateResolution.
constexpr double kPixelSizeMetres = 0.0002645838625;
constexpr double kMetresPerDegree = 111194.872221777;

// The units ratio truncated to a whole number (a projected system's is one
// already).
int64_t IntegerUnitsRatio(const ePrjCoordSys& prj) {
    return tilemath::TruncToInt64(unitsratio::Of(prj));
}

}  // namespace

double eTileCoordSys::ComputeMapScale(const ePrjCoordSys& prj, double tileMapSize, int tileSize,
                                      double dotsPerMM) {
    const double u = static_cast<double>(IntegerUnitsRatio(prj));
    return static_cast<double>(tilemath::TenTimesTileSize(tileSize)) / dotsPerMM /
           (u * tileMapSize);
}

std::vector<double> eTileCoordSys::ComputeMapScale(const ePrjCoordSys& prj, double tileMapSize,
                                                   int tileSize, int levelCount, double dotsPerMM) {
    double s = ComputeMapScale(prj, tileMapSize, tileSize, dotsPerMM);
    std::vector<double> scales;
    // A doubling list of positive scales below 1 has at most ~1100 entries;
    // a huge levelCount must not reserve for itself.
    scales.reserve(levelCount > 1 && levelCount < 64 ? static_cast<size_t>(levelCount) : 64u);
    scales.push_back(s);  // level 0 always, even when it is not below 1
    for (int i = 1; i < levelCount; ++i) {
        s *= 2.0;
        // Once a value is not below 1 no later one is (doubling keeps it
        // there, NaN stays NaN), so stopping here appends the same entries.
        if (!(s < 1.0)) break;
        scales.push_back(s);
    }
    return scales;
}

double eTileCoordSys::ComputeMapResolution(const ePrjCoordSys& prj, double scale, double dotsPerMM,
                                           double mapLength) {
    const double u = static_cast<double>(IntegerUnitsRatio(prj));
    return ((dotsPerMM * mapLength) * scale) * u / 10.0;
}

double eTileCoordSys::CalculateScale(double resolution) const {
    return 10.0 / ((resolution * DPI) * UnitsRatio);
}

double eTileCoordSys::CalculateResolution(double scale) const {
    const double k =
        PrjCoordSys.GetSpatialRefType() == eSpatialRefGeographic ? kMetresPerDegree : 1.0;
    return (kPixelSizeMetres / scale) / k;
}

}  // namespace TVK
