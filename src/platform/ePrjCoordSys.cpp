// ePrjCoordSys over PROJ.
//
// Everything callers read (type, unit value, axis, projection type, names,
// WKT) is computed once when a definition is accepted and kept as plain
// values, so copies are cheap. The PROJ state (a context of its own, the
// horizontal CRS and the prepared degrees -> map operation) is built lazily
// per object from the definition text and never shared, because PROJ
// objects must not be used from two threads at once.
#include "platform/ePrjCoordSys.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pugixml.hpp>

#include "platform/eMathEngine.h"
#include "platform/proj_handles.h"

#include <proj_experimental.h>

namespace TVK {

namespace {

// Unit value base for geographic systems in a unit other than degrees.
constexpr long long kAngularUnitBase = 1000000000LL;

// Projection type numbers (documented in the public header); 0 stands for none.
constexpr int kPrjTransverseMercator = 43001;
constexpr int kPrjMercator = 43002;
constexpr int kPrjLambertConformalConic = 43003;
constexpr int kPrjAlbers = 43004;
constexpr int kPrjPolarStereographic = 43005;
constexpr int kPrjObliqueStereographic = 43006;
constexpr int kPrjLambertAzimuthal = 43007;
constexpr int kPrjEquidistantCylindrical = 43008;
constexpr int kPrjCassini = 43009;
constexpr int kPrjHotine = 43010;
constexpr int kPrjKrovak = 43011;
constexpr int kPrjWebMercator = 43045;
constexpr int kPrjOther = 43999;

int ProjectionTypeOfMethod(int epsgMethod, const char* methodName) {
    switch (epsgMethod) {
        case 1024: return kPrjWebMercator;  // Popular Visualisation Pseudo Mercator
        case 9807:
        case 9808:
        case 9824: return kPrjTransverseMercator;
        case 9804:
        case 9805:
        case 1026:
        case 1044: return kPrjMercator;
        case 9801:
        case 9802:
        case 9803:
        case 1051:
        case 1102: return kPrjLambertConformalConic;
        case 9822: return kPrjAlbers;
        case 9810:
        case 9829:
        case 9830: return kPrjPolarStereographic;
        case 9809: return kPrjObliqueStereographic;
        case 9820:
        case 1027: return kPrjLambertAzimuthal;
        case 1028:
        case 1029:
        case 9823:
        case 9842: return kPrjEquidistantCylindrical;
        case 9806:
        case 9833: return kPrjCassini;
        case 9812:
        case 9815: return kPrjHotine;
        case 9819:
        case 1041: return kPrjKrovak;
        default: break;
    }
    // Methods without an EPSG code (ArcGIS- or PROJ-only ones): by name.
    std::string name = methodName ? methodName : "";
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.find("pseudo mercator") != std::string::npos ||
        name.find("auxiliary_sphere") != std::string::npos ||
        name.find("auxiliary sphere") != std::string::npos)
        return kPrjWebMercator;
    if (name.find("transverse mercator") != std::string::npos ||
        name.find("transverse_mercator") != std::string::npos)
        return kPrjTransverseMercator;
    if (name.find("mercator") != std::string::npos) return kPrjMercator;
    return kPrjOther;
}

bool IsWktText(const char* text) {
    // A WKT text is a keyword followed by '[' or '('.
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    if (!std::isalpha(static_cast<unsigned char>(*p))) return false;
    while (std::isalnum(static_cast<unsigned char>(*p)) || *p == '_') ++p;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    return *p == '[' || *p == '(';
}

proj::Object ParseObject(PJ_CONTEXT* ctx, const char* text) {
    if (IsWktText(text)) {
        // Lenient: ArcGIS files carry WKT that strict parsing rejects.
        const char* const options[] = {"STRICT=NO", nullptr};
        PROJ_STRING_LIST warnings = nullptr;
        PROJ_STRING_LIST errors = nullptr;
        proj::Object obj(proj_create_from_wkt(ctx, text, options, &warnings, &errors));
        proj_string_list_destroy(warnings);
        proj_string_list_destroy(errors);
        return obj;
    }
    return proj::Object(proj_create(ctx, text));
}

// The geographic or projected part of a CRS (bound and compound CRSs are
// unwrapped); nullptr for anything else.
proj::Object HorizontalCrs(PJ_CONTEXT* ctx, proj::Object obj) {
    for (int depth = 0; obj && depth < 4; ++depth) {
        switch (proj_get_type(obj.get())) {
            case PJ_TYPE_GEOGRAPHIC_2D_CRS:
            case PJ_TYPE_GEOGRAPHIC_3D_CRS:
            case PJ_TYPE_PROJECTED_CRS: return obj;
            case PJ_TYPE_BOUND_CRS: obj = proj::Object(proj_get_source_crs(ctx, obj.get())); break;
            case PJ_TYPE_COMPOUND_CRS:
                obj = proj::Object(proj_crs_get_sub_crs(ctx, obj.get(), 0));
                break;
            default: return proj::Object();
        }
    }
    return proj::Object();
}

bool IsDegree(double radiansPerUnit) {
    return std::fabs(radiansPerUnit - eMathEngine::kRadiansPerDegree) <=
           1e-10 * eMathEngine::kRadiansPerDegree;
}

// Conversion factor of the first axis of a CRS's coordinate system (to
// metres or radians); 0 when unknown.
double AxisUnitFactor(PJ_CONTEXT* ctx, PJ* crs) {
    proj::Object cs(proj_crs_get_coordinate_system(ctx, crs));
    double factor = 0.0;
    if (!cs || !proj_cs_get_axis_info(ctx, cs.get(), 0, nullptr, nullptr, nullptr, &factor, nullptr,
                                      nullptr, nullptr))
        return 0.0;
    return factor;
}

int AngularUnitValue(double radiansPerUnit) {
    if (radiansPerUnit <= 0.0 || IsDegree(radiansPerUnit)) return 0;
    return static_cast<int>(kAngularUnitBase + std::llround(radiansPerUnit * 1e8));
}

int EpsgCodeOf(PJ* obj) {
    for (int i = 0; obj && proj_get_id_auth_name(obj, i) != nullptr; ++i) {
        if (std::strcmp(proj_get_id_auth_name(obj, i), "EPSG") == 0) {
            const char* code = proj_get_id_code(obj, i);
            return code ? std::atoi(code) : 0;
        }
    }
    return 0;
}

// EPSG code of a CRS without one of its own: only a full match counts.
int IdentifyEpsg(PJ_CONTEXT* ctx, PJ* crs) {
    int* confidence = nullptr;
    PJ_OBJ_LIST* list = proj_identify(ctx, crs, "EPSG", nullptr, &confidence);
    int code = 0;
    if (list) {
        int count = proj_list_get_count(list);
        for (int i = 0; i < count && code == 0; ++i) {
            if (confidence[i] < 100) continue;
            proj::Object candidate(proj_list_get(ctx, list, i));
            code = EpsgCodeOf(candidate.get());
        }
        proj_list_destroy(list);
    }
    proj_int_list_destroy(confidence);
    return code;
}

std::string WktOf(PJ_CONTEXT* ctx, PJ* obj, bool esri) {
    const char* const options[] = {"MULTILINE=NO", nullptr};
    const char* text = nullptr;
    if (esri) text = proj_as_wkt(ctx, obj, PJ_WKT1_ESRI, options);
    if (!text) text = proj_as_wkt(ctx, obj, PJ_WKT1_GDAL, options);
    if (!text)  // not expressible in WKT1
        text = proj_as_wkt(ctx, obj, PJ_WKT2_2019, options);
    return text ? text : "";
}

std::string Trimmed(const char* text) {
    std::string s = text;
    const char* ws = " \t\r\n";
    size_t first = s.find_first_not_of(ws);
    if (first == std::string::npos) return std::string();
    size_t last = s.find_last_not_of(ws);
    return s.substr(first, last - first + 1);
}

}  // namespace

struct ePrjCoordSys::Engine {
    proj::Context m_ctx;   // declared first: destroyed after the objects
    proj::Object m_crs;    // horizontal CRS
    proj::Object m_toMap;  // degrees (lon, lat) -> map (x, y); built on first use
    bool m_bToMapFailed = false;

    // Geographic degrees in longitude/latitude order on the system's own
    // datum; for a system already in degrees, its own geographic CRS.
    proj::Object DegreeCrs(int nType) {
        PJ_CONTEXT* c = m_ctx.get();
        proj::Object geodetic(nType == eSpatialRefGeographic
                                  ? proj_clone(c, m_crs.get())
                                  : proj_crs_get_geodetic_crs(c, m_crs.get()));
        if (!geodetic) return proj::Object();
        if (IsDegree(AxisUnitFactor(c, geodetic.get()))) return geodetic;
        proj::Object datum(proj_crs_get_datum_forced(c, geodetic.get()));
        proj::Object cs(proj_create_ellipsoidal_2D_cs(c, PJ_ELLPS2D_LONGITUDE_LATITUDE, "degree",
                                                      eMathEngine::kRadiansPerDegree));
        if (!datum || !cs) return proj::Object();
        return proj::Object(
            proj_create_geographic_crs_from_datum(c, "degrees", datum.get(), cs.get()));
    }

    PJ* ToMap(int nType) {
        if (m_toMap || m_bToMapFailed) return m_toMap.get();
        PJ_CONTEXT* c = m_ctx.get();
        proj::Object source = DegreeCrs(nType);
        proj::Object op;
        if (source)
            op = proj::Object(
                proj_create_crs_to_crs_from_pj(c, source.get(), m_crs.get(), nullptr, nullptr));
        if (op) m_toMap = proj::Object(proj_normalize_for_visualization(c, op.get()));
        m_bToMapFailed = !m_toMap;
        return m_toMap.get();
    }
};

ePrjCoordSys::ePrjCoordSys() = default;
ePrjCoordSys::~ePrjCoordSys() = default;

ePrjCoordSys::ePrjCoordSys(const ePrjCoordSys& other)
    : eSpatialRef(other),
      m_geo(other.m_geo),
      m_projection(other.m_projection),
      m_strName(other.m_strName),
      m_strDefinition(other.m_strDefinition),
      m_strWkt(other.m_strWkt),
      m_nEpsg(other.m_nEpsg) {}

ePrjCoordSys& ePrjCoordSys::operator=(const ePrjCoordSys& other) {
    if (this == &other) return *this;
    eMutexGuard lock(m_mutex);
    eSpatialRef::operator=(other);
    m_geo = other.m_geo;
    m_projection = other.m_projection;
    m_strName = other.m_strName;
    m_strDefinition = other.m_strDefinition;
    m_strWkt = other.m_strWkt;
    m_nEpsg = other.m_nEpsg;
    m_pEngine.reset();  // rebuilt from the new definition when needed
    return *this;
}

ePrjCoordSys::ePrjCoordSys(ePrjCoordSys&& other) noexcept
    : eSpatialRef(other),
      m_geo(std::move(other.m_geo)),
      m_projection(std::move(other.m_projection)),
      m_strName(std::move(other.m_strName)),
      m_strDefinition(std::move(other.m_strDefinition)),
      m_strWkt(std::move(other.m_strWkt)),
      m_nEpsg(other.m_nEpsg),
      m_pEngine(std::move(other.m_pEngine)) {
    other = ePrjCoordSys();
}

ePrjCoordSys& ePrjCoordSys::operator=(ePrjCoordSys&& other) noexcept {
    if (this == &other) return *this;
    // One lock at a time: two objects moved into each other cannot deadlock.
    std::unique_ptr<Engine> engine;
    {
        eMutexGuard lock(other.m_mutex);
        engine = std::move(other.m_pEngine);
    }
    eMutexGuard lock(m_mutex);
    eSpatialRef::operator=(other);
    m_geo = std::move(other.m_geo);
    m_projection = std::move(other.m_projection);
    m_strName = std::move(other.m_strName);
    m_strDefinition = std::move(other.m_strDefinition);
    m_strWkt = std::move(other.m_strWkt);
    m_nEpsg = other.m_nEpsg;
    m_pEngine = std::move(engine);
    // Leave the source unset rather than half moved.
    other.m_nType = eSpatialRefUnset;
    other.m_nUnits = 10000;
    other.m_geo = eGeoCoordSys();
    other.m_projection = eProjection();
    other.m_strName.Empty();
    other.m_strDefinition.Empty();
    other.m_strWkt.Empty();
    other.m_nEpsg = 0;
    return *this;
}

unsigned char ePrjCoordSys::FromDefinition(const eString& text) {
    const std::string definition = Trimmed(text.Cstr());
    if (definition.empty()) return 0;

    auto engine = std::make_unique<Engine>();
    engine->m_ctx = proj::NewContext();
    PJ_CONTEXT* c = engine->m_ctx.get();
    if (!c) return 0;
    proj::Object full = ParseObject(c, definition.c_str());
    if (!full) return 0;
    const bool esri = IsWktText(definition.c_str()) &&
                      proj_context_guess_wkt_dialect(c, definition.c_str()) == PJ_GUESSED_WKT1_ESRI;
    engine->m_crs = HorizontalCrs(c, proj::Object(proj_clone(c, full.get())));
    PJ* crs = engine->m_crs.get();
    if (!crs) return 0;

    // Everything is computed into locals first: a refused text changes nothing.
    const bool geographic = proj_get_type(crs) != PJ_TYPE_PROJECTED_CRS;
    const double unitFactor = AxisUnitFactor(c, crs);
    if (!(unitFactor > 0.0)) return 0;

    eGeoCoordSys geo;
    proj::Object geodetic(proj_crs_get_geodetic_crs(c, crs));
    proj::Object ellipsoid(proj_get_ellipsoid(c, crs));
    proj::Object datum(geodetic ? proj_crs_get_datum_forced(c, geodetic.get()) : nullptr);
    double axis = 0.0, invFlattening = 0.0;
    if (!ellipsoid ||
        !proj_ellipsoid_get_parameters(c, ellipsoid.get(), &axis, nullptr, nullptr, &invFlattening))
        return 0;
    geo.m_nType = eSpatialRefGeographic;
    geo.m_nUnits = geodetic ? AngularUnitValue(AxisUnitFactor(c, geodetic.get())) : 0;
    geo.m_strName = geodetic ? proj_get_name(geodetic.get()) : "";
    const char* datumName = datum ? proj_get_name(datum.get()) : nullptr;
    const char* ellipsoidName = proj_get_name(ellipsoid.get());
    geo.m_datum = eHorizonDatum(datumName ? datumName : "",
                                eSpheroid(ellipsoidName ? ellipsoidName : "", axis, invFlattening));

    eProjection projection;
    if (!geographic) {
        proj::Object conversion(proj_crs_get_coordoperation(c, crs));
        const char* methodName = nullptr;
        const char* methodAuth = nullptr;
        const char* methodCode = nullptr;
        int methodEpsg = 0;
        if (conversion &&
            proj_coordoperation_get_method_info(c, conversion.get(), &methodName, &methodAuth,
                                                &methodCode) &&
            methodAuth && methodCode && std::strcmp(methodAuth, "EPSG") == 0)
            methodEpsg = std::atoi(methodCode);
        projection.m_nType = ProjectionTypeOfMethod(methodEpsg, methodName);
        projection.m_strName = methodName ? methodName : "";
    }

    int epsg = EpsgCodeOf(crs);
    if (epsg == 0) epsg = EpsgCodeOf(full.get());
    if (epsg == 0) epsg = IdentifyEpsg(c, crs);
    const char* name = proj_get_name(crs);
    std::string wkt = WktOf(c, full.get(), esri);
    if (wkt.empty()) return 0;

    eMutexGuard lock(m_mutex);
    m_nType = geographic ? eSpatialRefGeographic : eSpatialRefProjected;
    m_nUnits = geographic ? AngularUnitValue(unitFactor)
                          : static_cast<int>(std::llround(unitFactor * 10000.0));
    m_geo = std::move(geo);
    m_projection = std::move(projection);
    m_strName = name ? name : "";
    m_strDefinition = definition;
    m_strWkt = std::move(wkt);
    m_nEpsg = epsg;
    m_pEngine = std::move(engine);
    return 1;
}

ePrjCoordSys::Engine* ePrjCoordSys::GetEngine() const {
    if (m_pEngine) return m_pEngine.get();
    auto engine = std::make_unique<Engine>();
    engine->m_ctx = proj::NewContext();
    if (!engine->m_ctx) return nullptr;
    engine->m_crs = HorizontalCrs(engine->m_ctx.get(),
                                  ParseObject(engine->m_ctx.get(), m_strDefinition.Cstr()));
    if (!engine->m_crs) return nullptr;
    m_pEngine = std::move(engine);
    return m_pEngine.get();
}

unsigned char ePrjCoordSys::Transform(ePoint2D* points, int count, bool forward) const {
    if (count <= 0) return 1;
    if (points == nullptr) return 0;
    eMutexGuard lock(m_mutex);
    if (m_nType == eSpatialRefUnset) return 1;
    Engine* engine = GetEngine();
    PJ* op = engine ? engine->ToMap(m_nType) : nullptr;
    if (!op) return 0;
    const size_t stride = sizeof(ePoint2D);
    const size_t n = static_cast<size_t>(count);
    proj_trans_generic(op, forward ? PJ_FWD : PJ_INV, &points[0].x, stride, n, &points[0].y, stride,
                       n, nullptr, 0, 0, nullptr, 0, 0);
    // Failed points come back as HUGE_VAL.
    for (int i = 0; i < count; ++i)
        if (!std::isfinite(points[i].x) || !std::isfinite(points[i].y) || points[i].x == HUGE_VAL)
            return 0;
    return 1;
}

unsigned char ePrjCoordSys::Forward(ePoint2D* points, int count) const {
    return Transform(points, count, true);
}

unsigned char ePrjCoordSys::Inverse(ePoint2D* points, int count) const {
    return Transform(points, count, false);
}

unsigned char ePrjCoordSys::FromXML(const eString& markup, int format) {
    if (format != kXmlFormat || markup.IsEmpty()) return 0;
    pugi::xml_document doc;
    // No DOCTYPE or external entity processing (parse_doctype is off).
    const unsigned flags = pugi::parse_default | pugi::parse_fragment;
    if (!doc.load_buffer(markup.Cstr(), static_cast<size_t>(markup.GetLength()), flags)) return 0;
    pugi::xml_node element = doc.find_node([](pugi::xml_node node) {
        if (node.type() != pugi::node_element) return false;
        const char* name = node.name();
        const char* colon = std::strrchr(name, ':');
        return std::strcmp(colon ? colon + 1 : name, "CoordinateReferenceSystem") == 0;
    });
    if (!element) return 0;
    std::string text;
    for (pugi::xml_node node = element.first_child(); node; node = node.next_sibling())
        if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
            text += node.value();
    return FromDefinition(eString(text));
}

unsigned char operator<<(ePrjCoordSys& cs, eWKT wkt) { return cs.FromDefinition(wkt.Text); }

unsigned char operator>>(const ePrjCoordSys& cs, eWKT& wkt) {
    wkt.Text = cs.GetWKT();
    return wkt.Text.IsEmpty() ? 0 : 1;
}

}  // namespace TVK
