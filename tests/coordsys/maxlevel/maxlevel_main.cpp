// Prints the deepest render level of a fresh process; argv[1], if given, is
// stored as the setting "MaxRenderLevel" first. Exits non-zero if a fresh
// eCoordSys disagrees or a later change of the setting is seen.
#include <cstdint>
#include <cstdio>

#include "eCoordSys.h"
#include "platform/eRegistry.h"

int main(int argc, char** argv) {
    using namespace TVK;
    if (argc > 1) eRegistry::Root().SetAt("MaxRenderLevel", argv[1]);
    const eCoordSys cs;
    const int level = eCoordSys::GetMaxRenderLevel();
    if (cs.GetRefResolution() != static_cast<double>(int64_t{1} << level) * 256.0) return 2;
    eRegistry::Root().SetAt("MaxRenderLevel", "5");
    if (eCoordSys::GetMaxRenderLevel() != level) return 3;
    std::printf("MaxRenderLevel=%d\n", level);
    return 0;
}
