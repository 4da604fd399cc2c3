// Fuzzes the cache description reader: the input is the file's content.
// A storage read from it is also written back and read again, so the writer
// sees whatever values the reader accepted.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include "eTileStorage.h"
#include "fuzz_support.h"
#include "platform/eFile.h"

using tvkfuzz::WriteAll;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const tvkfuzz::ScratchDir scratch("tvk_fuzz_config_");
    const std::string in = (scratch.Path() / "conf.xml").string();
    const std::string out = (scratch.Path() / "out.xml").string();
    if (!WriteAll(in, data, size)) return 0;
    TVK::eTileStorage storage;
    storage.FromConfigFile(in.c_str());
    if (storage.ToConfigFile(out.c_str())) {
        TVK::eTileStorage again;
        again.FromConfigFile(out.c_str());
    }
    return 0;
}
