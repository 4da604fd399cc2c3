// Coordinate systems: ePrjCoordSys (a projected or geographic coordinate
// system, a value type) and its read-only companions eGeoCoordSys,
// eHorizonDatum, eSpheroid, eProjection, plus WKT text in and out (eWKT).
//
// Definitions accepted by operator<<: WKT1 (including the ArcGIS dialect),
// WKT2, PROJ strings and "EPSG:nnnn" / "ESRI:nnnn" style codes, as long as
// they describe a geographic or projected coordinate system (a compound or
// bound one is reduced to its horizontal part).
//
// Unit value (GetUnits):
//   projected:   length of one map unit in 1e-4 m, rounded (metre 10000,
//                international foot 3048, US survey foot 3048);
//   geographic:  0 for degrees, otherwise 1000000000 + round(radians per
//                unit * 1e8) (grad: 1001570796);
//   unset:       10000.
//
// Projection types (eProjection::GetProjectionType):
//   0      unset or geographic (no projection)
//   43001  Transverse Mercator (UTM zones included)
//   43002  Mercator (1SP, 2SP, spherical)
//   43003  Lambert Conformal Conic
//   43004  Albers Equal Area
//   43005  Polar Stereographic
//   43006  Oblique (double) Stereographic
//   43007  Lambert Azimuthal Equal Area
//   43008  Equidistant Cylindrical / Plate Carree
//   43009  Cassini-Soldner
//   43010  Hotine Oblique Mercator
//   43011  Krovak
//   43045  Web Mercator (Popular Visualisation Pseudo Mercator, ArcGIS
//          Mercator_Auxiliary_Sphere)
//   43999  any other projection
//
// Threads: an object may be used from several threads; its projection
// engine state is private to it (copies share nothing) and calls on one
// object are serialised.
#ifndef TVK_PLATFORM_EPRJCOORDSYS_H
#define TVK_PLATFORM_EPRJCOORDSYS_H

#include <memory>

#include "platform/eExport.h"
#include "platform/eGeometry.h"
#include "platform/eString.h"
#include "platform/eThread.h"

namespace TVK {

// A WKT (or other definition) text and a flag; callers pass the flag as 0.
struct TVK_API eWKT {
    eString Text;
    unsigned char Flag;
    eWKT(const eString& text = eString(), unsigned char flag = 0) : Text(text), Flag(flag) {}
};

class TVK_API eSpheroid {
public:
    eSpheroid() = default;
    eSpheroid(const eString& name, double axis, double inverseFlattening)
        : m_strName(name), m_dAxis(axis), m_dInvFlattening(inverseFlattening) {}
    // Semi-major axis in metres.
    double GetAxis() const { return m_dAxis; }
    // 0 for a sphere.
    double GetInverseFlattening() const { return m_dInvFlattening; }
    const eString& GetName() const { return m_strName; }

private:
    eString m_strName;
    double m_dAxis = 6378137.0;
    double m_dInvFlattening = 298.257223563;
};

class TVK_API eHorizonDatum {
public:
    eHorizonDatum() = default;
    eHorizonDatum(const eString& name, const eSpheroid& spheroid)
        : m_strName(name), m_spheroid(spheroid) {}
    const eSpheroid& GetSpheroid() const { return m_spheroid; }
    const eString& GetName() const { return m_strName; }

private:
    eString m_strName;
    eSpheroid m_spheroid;
};

enum eSpatialRefType {
    eSpatialRefUnset = 0,
    eSpatialRefGeographic = 1,
    eSpatialRefProjected = 2,
};

class TVK_API eSpatialRef {
public:
    virtual ~eSpatialRef() = default;
    // 1 geographic, 2 projected, 0 unset.
    virtual int GetSpatialRefType() const { return m_nType; }
    // The integer unit value described at the top of this header.
    virtual int GetUnits() const { return m_nUnits; }

protected:
    eSpatialRef() = default;
    eSpatialRef(const eSpatialRef&) = default;
    eSpatialRef& operator=(const eSpatialRef&) = default;
    int m_nType = eSpatialRefUnset;
    int m_nUnits = 10000;
    friend class ePrjCoordSys;
};

class TVK_API eGeoCoordSys : public eSpatialRef {
public:
    eGeoCoordSys() = default;
    const eHorizonDatum& GetHorizonDatum() const { return m_datum; }
    const eString& GetName() const { return m_strName; }

private:
    eString m_strName;
    eHorizonDatum m_datum;
    friend class ePrjCoordSys;
};

class TVK_API eProjection {
public:
    eProjection() = default;
    // One of the numbers in the table at the top of this header.
    int GetProjectionType() const { return m_nType; }
    // The projection method's name as the engine reports it ("" when none).
    const eString& GetName() const { return m_strName; }

private:
    int m_nType = 0;
    eString m_strName;
    friend class ePrjCoordSys;
};

class TVK_API ePrjCoordSys : public eSpatialRef {
public:
    // The format number FromXML understands.
    static constexpr int kXmlFormat = 20031211;

    ePrjCoordSys();
    ~ePrjCoordSys() override;
    // Copies carry the definition and its derived values; each copy builds
    // its own engine state when it first needs one.
    ePrjCoordSys(const ePrjCoordSys& other);
    ePrjCoordSys& operator=(const ePrjCoordSys& other);
    ePrjCoordSys(ePrjCoordSys&& other) noexcept;
    ePrjCoordSys& operator=(ePrjCoordSys&& other) noexcept;

    const eGeoCoordSys& GetGeoCoordSys() const { return m_geo; }
    const eProjection& GetProjection() const { return m_projection; }
    bool IsGeographic() const { return m_nType == eSpatialRefGeographic; }
    bool IsEmpty() const { return m_nType == eSpatialRefUnset; }
    // Name of the coordinate system ("" when unset).
    const eString& GetName() const { return m_strName; }
    // EPSG code when the engine knows one for this system, else 0.
    int GetEpsgCode() const { return m_nEpsg; }
    // The definition text this object was built from ("" when unset).
    const eString& GetDefinition() const { return m_strDefinition; }

    // Geographic degrees (longitude, latitude) to map coordinates and back,
    // in place. For a geographic system this converts between degrees and
    // the system's own angular unit. 1 when every point converted, else 0
    // (failed points hold whatever the engine left, usually infinities).
    // An unset system leaves the points unchanged and returns 1.
    unsigned char Forward(ePoint2D* points, int count) const;
    unsigned char Inverse(ePoint2D* points, int count) const;

    // Builds the system from markup: with format kXmlFormat, a
    // CoordinateReferenceSystem element whose text is a definition that
    // operator<< accepts. Anything else returns 0 and changes nothing.
    unsigned char FromXML(const eString& markup, int format);

    // Used by the WKT operators.
    unsigned char FromDefinition(const eString& text);
    // WKT1: the ArcGIS dialect when the definition was written in it,
    // otherwise the GDAL flavour; WKT2 only when the system cannot be
    // written as WKT1. "" when unset.
    const eString& GetWKT() const { return m_strWkt; }

private:
    struct Engine;
    // nullptr when the engine cannot be built.
    Engine* GetEngine() const TVK_REQUIRES(m_mutex);
    unsigned char Transform(ePoint2D* points, int count, bool forward) const TVK_EXCLUDES(m_mutex);

    eGeoCoordSys m_geo;
    eProjection m_projection;
    eString m_strName;
    eString m_strDefinition;
    eString m_strWkt;
    int m_nEpsg = 0;
    // The mutex serialises the engine calls of this one object.
    mutable eMutex m_mutex;
    // Engine state, created on first use; never shared between objects.
    mutable std::unique_ptr<Engine> m_pEngine TVK_GUARDED_BY(m_mutex);
};

// Builds `cs` from the text; non-zero on success. A text the engine refuses
// leaves `cs` unchanged and returns 0.
TVK_API unsigned char operator<<(ePrjCoordSys& cs, eWKT wkt);
// Writes the WKT of `cs` into wkt.Text (empty for an unset system); non-zero
// when a text was written.
TVK_API unsigned char operator>>(const ePrjCoordSys& cs, eWKT& wkt);

}  // namespace TVK

#endif
