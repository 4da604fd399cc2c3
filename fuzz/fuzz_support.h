// Pieces the fuzz targets share. Every fuzz/*.cpp is a target of its own, so
// what they share lives here, header-only.
#ifndef TVK_FUZZ_SUPPORT_H
#define TVK_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "platform/eFile.h"

namespace tvkfuzz {

// A folder of this process's own below the temporary folder, with `inner`
// (if any) made inside it; removed with everything in it when the object
// goes, which for a function-local static is at process exit.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix, const char* inner = nullptr) {
        m_path = std::filesystem::temp_directory_path() /
                 (prefix + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(inner != nullptr ? m_path / inner : m_path);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Replaces the file at `path` with the bytes given; false on any failure.
inline bool WriteAll(const std::string& path, const uint8_t* data, size_t size) {
    TVK::eFile file;
    return file.Open(path.c_str(), TVK::eFile::CreateTruncate) &&
           (size == 0 || file.Write(data, static_cast<int64_t>(size))) && file.Close();
}

// Stops the run when the code under test disagrees with the target's own
// reading of the input.
inline void Check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace tvkfuzz

#endif
