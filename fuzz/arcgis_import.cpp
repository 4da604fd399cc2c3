// Fuzzes the ArcGIS configuration import. The input is split at its first
// NUL byte: the part before is "Conf.xml", the part after "conf.cdi" (so the
// letter-case fallback is taken); without a NUL there is no extent file.
// Whatever was imported is then written back as an ArcGIS configuration and
// imported again, and one tile name of the imported naming is probed.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "eTileStorage.h"
#include "fuzz_support.h"
#include "platform/eFile.h"

using tvkfuzz::WriteAll;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const tvkfuzz::ScratchDir scratch("tvk_fuzz_arcgis_");
    const std::string conf = (scratch.Path() / "Conf.xml").string();
    const std::string cdi = (scratch.Path() / "conf.cdi").string();
    const uint8_t* split = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t confSize = split ? static_cast<size_t>(split - data) : size;
    if (!WriteAll(conf, data, confSize)) return 0;
    TVK::eFile::Delete(cdi.c_str());
    if (split && !WriteAll(cdi, split + 1, size - confSize - 1)) return 0;
    TVK::eTileStorage storage;
    if (!storage.FromArcGISConfigFile(conf.c_str())) return 0;
    if (!storage.GetTileCoordSys().GetLevelCaptions().empty() &&
        storage.GetCacheFormat() == TVK::eTileStorage::Original) {
        storage.IsTileExist(0, 1, 2);
    }
    const std::string out = (scratch.Path() / "out" / "conf.xml").string();
    if (storage.ToArcGISConfigFile(out.c_str())) {
        TVK::eTileStorage again;
        again.FromArcGISConfigFile(out.c_str());
    }
    return 0;
}
