// eCoordSys: the map coordinate system of a tile cache. Couples a coordinate
// system with a display resolution, two extents and a reference pixel width,
// and converts between map, logical, geographic, world and pixel space.
//
// Spaces:
//   map      the coordinate system's own units (degrees for a geographic one);
//   logical  map units scaled by UnitsRatio / 10000, so one logical unit is
//            the same ground length whatever the map unit;
//   world    logical in the flat scene mode; Cartesian on a sphere of radius
//            6378137 + height in the globe mode;
//   pixel    lengths in pixels of the reference resolution.
#ifndef TVK_ECOORDSYS_H
#define TVK_ECOORDSYS_H

#include "platform/eExport.h"
#include "platform/eGeometry.h"
#include "platform/ePrjCoordSys.h"

namespace TVK {

class TVK_API eCoordSys {
public:
    // Equatorial circumference of a sphere of radius 6378137 m.
    static constexpr double kCircumference = 40075016.68557849;

    eCoordSys();
    eCoordSys(const eCoordSys& other);
    eCoordSys& operator=(const eCoordSys& other);

    // Virtual operations, in this order.
    virtual ~eCoordSys();
    // No zoom levels in the base: -1 and 0.0.
    virtual int Resolution2Zoom(double resolution) const;
    virtual double Zoom2Resolution(int level) const;
    virtual double LogicalToMap(double value) const;
    virtual void LogicalToMap(const eSize2D& in, eSize2D& out) const;
    virtual void LogicalToMap(const ePoint2D& in, ePoint2D& out) const;
    virtual void LogicalToMap(const eRect2D& in, eRect2D& out) const;
    virtual double MapToLogical(double value) const;
    virtual void MapToLogical(const eSize2D& in, eSize2D& out) const;
    virtual void MapToLogical(const ePoint2D& in, ePoint2D& out) const;
    virtual void MapToLogical(const eRect2D& in, eRect2D& out) const;

    // Assigns the coordinate system and recomputes UnitsRatio from it.
    void SetPrjCoordSys(const ePrjCoordSys& prj);
    // Changing the system through this reference leaves UnitsRatio as it is;
    // call AdjustUnitsRatio afterwards.
    ePrjCoordSys& GetPrjCoordSys() { return PrjCoordSys; }
    const ePrjCoordSys& GetPrjCoordSys() const { return PrjCoordSys; }

    // DPI is held in dots per millimetre.
    void SetDPI(double dpi) { DPI = dpi / 25.4; }
    double GetDPI() const { return DPI * 25.4; }

    void SetBounds(const eRect2D& bounds) { Bounds = bounds; }
    eRect2D GetBounds() const { return Bounds; }
    void SetIndexBounds(const eRect2D& bounds) { IndexBounds = bounds; }
    eRect2D GetIndexBounds() const { return IndexBounds; }
    void SetRefResolution(double resolution) { RefResolution = resolution; }
    double GetRefResolution() const { return RefResolution; }

    // UnitsRatio from the coordinate system's unit value (and, for a
    // geographic system, its spheroid's semi-major axis).
    void AdjustUnitsRatio();

    // Representative fraction of a map resolution (map units per pixel),
    // divided by count.
    double ComputeScale(double resolution, int count) const;
    // Scale <-> pixels across the circumference.
    double ResolutionToScale(double resolution) const;
    double ScaleToResolution(double scale) const;

    // Projection failures are not reported: the output holds what the
    // projection left in it.
    void MapToGeo(const ePoint2D& in, ePoint2D& out) const;
    void GeoToMap(const ePoint2D& in, ePoint2D& out) const;

    // Scene mode eSceneGlobe maps onto the sphere; any other value is flat.
    void WorldToLogical(eSceneMode mode, const eVector3T<double>& world, ePoint2D& logical) const;
    void LogicalToWorld(eSceneMode mode, const ePoint2D& logical, eVector3T<double>& world,
                        double height) const;
    void LogicalToWorld(eSceneMode mode, const eVector2T<double>& logical, eVector3T<double>& world,
                        double height) const;

    double LogicalToPixel(double factor, double length) const {
        return (length * RefResolution) / (factor * kCircumference);
    }
    double PixelToLogical(double factor, double pixels) const {
        return (factor * pixels * kCircumference) / RefResolution;
    }
    // The globe is drawn 1 / 0.762 times larger than the flat map.
    double WorldToPixel(eSceneMode mode, double factor, double length) const {
        const double pixels = LogicalToPixel(factor, length);
        return mode == eSceneGlobe ? pixels / 0.762 : pixels;
    }
    double PixelToWorld(eSceneMode mode, double factor, double pixels) const {
        const double length = PixelToLogical(factor, pixels);
        return mode == eSceneGlobe ? length * 0.762 : length;
    }

    // Deepest render level: the setting "MaxRenderLevel" (1 to 27) of
    // eRegistry::Root(), else 22. Read once per process, on first use.
    static int GetMaxRenderLevel();

    ePrjCoordSys PrjCoordSys;
    double DPI;            // dots per millimetre
    double UnitsRatio;     // one map unit in ten-thousandths of a logical unit
    eRect2D Bounds;        // extent of the cache, map units
    eRect2D IndexBounds;   // right and bottom edges bound the tile counts
    double RefResolution;  // pixels across the circumference at the deepest level
};

}  // namespace TVK

#endif
