// Prints the deepest render level a fresh process reads from the setting
// "MaxRenderLevel". With an argument the setting is stored first; without
// one it stays absent. Also checks that a fresh eCoordSys derives its
// reference resolution from that level and that the value is read once.
#include <cstdio>
#include <cstdint>

#include "eCoordSys.h"
#include "platform/eRegistry.h"

int main(int argc, char** argv) {
    using namespace TVK;
    if (argc > 1) eRegistry::Root().SetAt("MaxRenderLevel", argv[1]);
    const eCoordSys cs;
    const int level = eCoordSys::GetMaxRenderLevel();
    const double expected = static_cast<double>(int64_t{1} << level) * 256.0;
    if (cs.GetRefResolution() != expected) {
        std::printf("RefResolution %.1f, expected %.1f\n", cs.GetRefResolution(), expected);
        return 2;
    }
    // Read once per process: a later change of the setting is not seen.
    eRegistry::Root().SetAt("MaxRenderLevel", "5");
    if (eCoordSys::GetMaxRenderLevel() != level) {
        std::printf("level changed after first use\n");
        return 3;
    }
    std::printf("MaxRenderLevel=%d\n", level);
    return 0;
}
