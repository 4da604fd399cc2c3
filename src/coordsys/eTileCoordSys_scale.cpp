// eTileCoordSys scale computation: scale lists for a coordinate system with
// no cache description, and scale <-> map resolution conversions.
//
// The static operations use an integer units ratio U derived from the
// coordinate system they are given (not the scheme's UnitsRatio): for a
// geographic system it is truncated to a whole number.
#include "eTileCoordSys.h"

#include <cstdint>

#include "coordsys/eTileMath.h"

namespace TVK {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int64_t kAngularUnitBase = 1000000000;
constexpr double kHalfTurnUnits = 314159220.0;
// Fixed pixel size (metres) and metres per degree of CalculateResolution.
constexpr double kPixelSizeMetres = 0.0002645838625;
constexpr double kMetresPerDegree = 111194.872221777;

int64_t IntegerUnitsRatio(const ePrjCoordSys& prj) {
    const int64_t u = prj.GetUnits();
    if (prj.GetSpatialRefType() != eSpatialRefGeographic) return u;
    const double a = prj.GetGeoCoordSys().GetHorizonDatum().GetSpheroid().GetAxis();
    // Degrees report the unit value 0; taken through the angular-unit
    // formula that would give a negative ratio (and negative scales), so
    // degrees get their own case, truncated like the others.
    if (u == 0) return tilemath::TruncToInt64(a * 10000.0 * kPi / 180.0);
    return tilemath::TruncToInt64(static_cast<double>(u - kAngularUnitBase) * a * 10000.0 * kPi /
                                  kHalfTurnUnits);
}

}  // namespace

double eTileCoordSys::ComputeMapScale(const ePrjCoordSys& prj, double tileMapSize, int tileSize,
                                      double dotsPerMM) {
    const double u = static_cast<double>(IntegerUnitsRatio(prj));
    return static_cast<double>(tilemath::TenTimesTileSize(tileSize)) / dotsPerMM /
           (u * tileMapSize);
}

std::vector<double> eTileCoordSys::ComputeMapScale(const ePrjCoordSys& prj, double tileMapSize,
                                                   int tileSize, int levelCount,
                                                   double dotsPerMM) {
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

double eTileCoordSys::ComputeMapResolution(const ePrjCoordSys& prj, double scale,
                                           double dotsPerMM, double mapLength) {
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
