// eCrsAxes: what map clients need to know about a coordinate system's axes
// and its registry name, beyond what ePrjCoordSys keeps: the order of the
// first two axes as the system's authority defines them (EPSG:4326 is
// latitude first), the length of the axis unit, and an authority code.
#ifndef TVK_PLATFORM_ECRSAXES_H
#define TVK_PLATFORM_ECRSAXES_H

#include "platform/eExport.h"
#include "platform/ePrjCoordSys.h"
#include "platform/eString.h"

namespace TVK {

struct tagCrsAxes {
    // The first axis points north or south (latitude or northing first).
    bool NorthingFirst = false;
    // One axis unit in metres (projected) or radians (geographic).
    double UnitFactor = 0.0;
    // Registry that names the system ("EPSG", else "ESRI"); empty when the
    // system matches no registered one. Code is then 0.
    eString Authority;
    int Code = 0;
};

class TVK_API eCrsAxes {
public:
    // Describes a set coordinate system; 0 for an unset one or one the
    // projection engine cannot read (axes left at their defaults).
    static unsigned char Describe(const ePrjCoordSys& cs, tagCrsAxes& axes);
};

}  // namespace TVK

#endif
