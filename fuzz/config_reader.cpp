// Fuzzes the cache description reader: the input is the file's content.
// A storage read from it is also written back and read again, so the writer
// sees whatever values the reader accepted.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include "eTileStorage.h"
#include "platform/eFile.h"

namespace {

// One scratch folder per process, removed at exit.
struct Scratch {
    std::filesystem::path dir;
    Scratch() {
        dir = std::filesystem::temp_directory_path() /
              ("tvk_fuzz_config_" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(dir);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

bool WriteAll(const std::string& path, const uint8_t* data, size_t size) {
    TVK::eFile file;
    return file.Open(path.c_str(), TVK::eFile::CreateTruncate) &&
           (size == 0 || file.Write(data, static_cast<int64_t>(size))) && file.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    const std::string in = (scratch.dir / "conf.xml").string();
    const std::string out = (scratch.dir / "out.xml").string();
    if (!WriteAll(in, data, size)) return 0;
    TVK::eTileStorage storage;
    storage.FromConfigFile(in.c_str());
    if (storage.ToConfigFile(out.c_str())) {
        TVK::eTileStorage again;
        again.FromConfigFile(out.c_str());
    }
    return 0;
}
