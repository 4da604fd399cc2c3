// eCrsAxes: axis order, axis unit and registry code of a coordinate system,
// read from the projection engine. A system with an EPSG code is looked up in
// the EPSG registry itself, so the axis order is the registry's (latitude
// first for EPSG:4326) even when the definition text was written in another
// order; any other system is read from its own definition.
#include "platform/eCrsAxes.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "proj_handles.h"

namespace TVK {

namespace {

// A bound or compound system is described by its horizontal part.
proj::Object HorizontalPart(PJ_CONTEXT* ctx, proj::Object crs) {
    if (!crs) return crs;
    const PJ_TYPE type = proj_get_type(crs.get());
    if (type == PJ_TYPE_BOUND_CRS)
        return HorizontalPart(ctx, proj::Object(proj_get_source_crs(ctx, crs.get())));
    if (type == PJ_TYPE_COMPOUND_CRS)
        return HorizontalPart(ctx, proj::Object(proj_crs_get_sub_crs(ctx, crs.get(), 0)));
    return crs;
}

// Code of the best full match in one registry; 0 when none matches fully.
int IdentifyIn(PJ_CONTEXT* ctx, PJ* crs, const char* authority) {
    int* confidence = nullptr;
    PJ_OBJ_LIST* list = proj_identify(ctx, crs, authority, nullptr, &confidence);
    int code = 0;
    if (list) {
        const int count = proj_list_get_count(list);
        for (int i = 0; i < count && code == 0; ++i) {
            if (confidence[i] < 100) continue;
            proj::Object candidate(proj_list_get(ctx, list, i));
            const char* id = candidate ? proj_get_id_code(candidate.get(), 0) : nullptr;
            if (id) code = std::atoi(id);
        }
        proj_list_destroy(list);
    }
    proj_int_list_destroy(confidence);
    return code;
}

}  // namespace

unsigned char eCrsAxes::Describe(const ePrjCoordSys& cs, tagCrsAxes& axes) {
    if (cs.IsEmpty()) return 0;
    proj::Context ctx = proj::NewContext();
    if (!ctx) return 0;

    tagCrsAxes found;
    proj::Object crs;
    if (cs.GetEpsgCode() > 0) {
        const std::string code = std::to_string(cs.GetEpsgCode());
        crs.reset(proj_create_from_database(ctx.get(), "EPSG", code.c_str(), PJ_CATEGORY_CRS, 0,
                                            nullptr));
        if (crs) {
            found.Authority = "EPSG";
            found.Code = cs.GetEpsgCode();
        }
    }
    if (!crs) crs.reset(proj_create(ctx.get(), cs.GetDefinition().Cstr()));
    crs = HorizontalPart(ctx.get(), std::move(crs));
    if (!crs) return 0;

    proj::Object system(proj_crs_get_coordinate_system(ctx.get(), crs.get()));
    const char* direction = nullptr;
    double factor = 0.0;
    if (!system || !proj_cs_get_axis_info(ctx.get(), system.get(), 0, nullptr, nullptr, &direction,
                                          &factor, nullptr, nullptr, nullptr))
        return 0;
    found.NorthingFirst = direction != nullptr && (std::strcmp(direction, "north") == 0 ||
                                                   std::strcmp(direction, "south") == 0);
    found.UnitFactor = factor;
    if (found.Code == 0) {
        // Systems ArcGIS names by its own numbers (102100 and the like).
        found.Code = IdentifyIn(ctx.get(), crs.get(), "ESRI");
        if (found.Code > 0) found.Authority = "ESRI";
    }
    axes = found;
    return 1;
}

}  // namespace TVK
