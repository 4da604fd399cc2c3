// The process-wide settings table.
#ifndef TVK_PLATFORM_EREGISTRY_H
#define TVK_PLATFORM_EREGISTRY_H

#include "base/eHash.h"
#include "platform/eExport.h"
#include "platform/eString.h"

namespace TVK {

class TVK_API eRegistry {
public:
    // The settings table. It takes no lock: fill it before other threads read it.
    static eHash<eString>& Root();
};

}  // namespace TVK

#endif
