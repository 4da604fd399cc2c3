// The process-wide settings table, built on first use.
#include "platform/eRegistry.h"

namespace TVK {

eHash<eString>& eRegistry::Root() {
    static eHash<eString> root;
    return root;
}

}  // namespace TVK
