// eCoordSys: units ratio, map/logical/geographic/world/pixel conversions and
// the process-wide deepest render level.
#include "eCoordSys.h"

#include <cstdint>

#include "coordsys/eUnitsRatio.h"
#include "platform/eMathEngine.h"
#include "platform/eRegistry.h"
#include "platform/eString.h"

namespace TVK {

namespace {

constexpr double kGlobeRadius = 6378137.0;
constexpr int kDefaultRenderLevel = 22;

int ReadMaxRenderLevel() {
    int level = -1;
    const eString text = eRegistry::Root()["MaxRenderLevel"];
    if (!text.IsEmpty()) {
        const int value = text.ToInt(10);
        // 1..27 in one unsigned comparison; 0 and negatives wrap above 26.
        if (static_cast<unsigned int>(value) - 1u <= 26u) level = value;
    }
    return level == -1 ? kDefaultRenderLevel : level;
}

}  // namespace

int eCoordSys::GetMaxRenderLevel() {
    // Thread-safe one-time initialisation: the registry is read at most once.
    static const int level = ReadMaxRenderLevel();
    return level;
}

eCoordSys::eCoordSys()
    : DPI(76.2 / 25.4),
      UnitsRatio(10000.0),
      RefResolution(static_cast<double>(int64_t{1} << GetMaxRenderLevel()) * 256.0) {
    Bounds.SetEmpty();
    IndexBounds.SetEmpty();
}

eCoordSys::eCoordSys(const eCoordSys& other) = default;
eCoordSys& eCoordSys::operator=(const eCoordSys& other) = default;
eCoordSys::~eCoordSys() = default;

int eCoordSys::Resolution2Zoom(double) const { return -1; }
double eCoordSys::Zoom2Resolution(int) const { return 0.0; }

double eCoordSys::LogicalToMap(double value) const { return (10000.0 / UnitsRatio) * value; }

void eCoordSys::LogicalToMap(const eSize2D& in, eSize2D& out) const {
    const double f = 10000.0 / UnitsRatio;
    out.width = f * in.width;
    out.height = f * in.height;
}

void eCoordSys::LogicalToMap(const ePoint2D& in, ePoint2D& out) const {
    const double f = 10000.0 / UnitsRatio;
    out.x = f * in.x;
    out.y = f * in.y;
}

void eCoordSys::LogicalToMap(const eRect2D& in, eRect2D& out) const {
    const double f = 10000.0 / UnitsRatio;
    out.left = f * in.left;
    out.top = f * in.top;
    out.right = f * in.right;
    out.bottom = f * in.bottom;
}

double eCoordSys::MapToLogical(double value) const { return (UnitsRatio / 10000.0) * value; }

void eCoordSys::MapToLogical(const eSize2D& in, eSize2D& out) const {
    const double f = UnitsRatio / 10000.0;
    out.width = f * in.width;
    out.height = f * in.height;
}

void eCoordSys::MapToLogical(const ePoint2D& in, ePoint2D& out) const {
    const double f = UnitsRatio / 10000.0;
    out.x = f * in.x;
    out.y = f * in.y;
}

void eCoordSys::MapToLogical(const eRect2D& in, eRect2D& out) const {
    const double f = UnitsRatio / 10000.0;
    out.left = f * in.left;
    out.top = f * in.top;
    out.right = f * in.right;
    out.bottom = f * in.bottom;
}

void eCoordSys::SetPrjCoordSys(const ePrjCoordSys& prj) {
    PrjCoordSys = prj;
    AdjustUnitsRatio();
}

void eCoordSys::AdjustUnitsRatio() { UnitsRatio = unitsratio::Of(PrjCoordSys); }

double eCoordSys::ComputeScale(double resolution, int count) const {
    return 1.0 / ((((resolution * UnitsRatio) / count) * DPI) / 10.0);
}

double eCoordSys::ResolutionToScale(double resolution) const {
    return (resolution * 10.0) / (DPI * 10000.0 * kCircumference);
}

double eCoordSys::ScaleToResolution(double scale) const {
    return scale * DPI * 10000.0 * kCircumference / 10.0;
}

void eCoordSys::MapToGeo(const ePoint2D& in, ePoint2D& out) const {
    out = in;
    if (PrjCoordSys.GetSpatialRefType() != eSpatialRefGeographic) PrjCoordSys.Inverse(&out, 1);
}

void eCoordSys::GeoToMap(const ePoint2D& in, ePoint2D& out) const {
    out = in;
    if (PrjCoordSys.GetSpatialRefType() != eSpatialRefGeographic) PrjCoordSys.Forward(&out, 1);
}

void eCoordSys::WorldToLogical(eSceneMode mode, const eVector3T<double>& world,
                               ePoint2D& logical) const {
    if (mode != eSceneGlobe) {
        logical = ePoint2D(world.x, world.y);
        return;
    }
    const eVector3T<double> v = eMathEngine::CartesianToSpherical(world.x, world.y, world.z);
    ePoint2D p(v.x * eMathEngine::kDegreesPerRadian, v.y * eMathEngine::kDegreesPerRadian);
    if (PrjCoordSys.GetSpatialRefType() != eSpatialRefGeographic) PrjCoordSys.Forward(&p, 1);
    MapToLogical(p, p);
    logical = p;
}

void eCoordSys::LogicalToWorld(eSceneMode mode, const ePoint2D& logical, eVector3T<double>& world,
                               double height) const {
    if (mode != eSceneGlobe) {
        world = eVector3T<double>(logical.x, logical.y, height);
        return;
    }
    ePoint2D q;
    LogicalToMap(logical, q);
    if (PrjCoordSys.GetSpatialRefType() != eSpatialRefGeographic) PrjCoordSys.Inverse(&q, 1);
    // Always a sphere of the WGS 84 semi-major axis, whatever the spheroid.
    world = eMathEngine::SphericalToCartesian(q.x * eMathEngine::kRadiansPerDegree,
                                              q.y * eMathEngine::kRadiansPerDegree,
                                              height + kGlobeRadius);
}

void eCoordSys::LogicalToWorld(eSceneMode mode, const eVector2T<double>& logical,
                               eVector3T<double>& world, double height) const {
    LogicalToWorld(mode, ePoint2D(logical.x, logical.y), world, height);
}

}  // namespace TVK
