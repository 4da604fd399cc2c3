// Writing 8-bit RGB images as PNG with libpng.
#ifndef TVK_TOOLS_PNG_IO_H
#define TVK_TOOLS_PNG_IO_H

#include <string>
#include <vector>

namespace TVK {
namespace cli {

// rgb holds width * height * 3 bytes, rows from the top. fast trades size
// for speed (generated tiles). False when libpng reports an error.
bool EncodePng(int width, int height, const std::vector<unsigned char>& rgb, bool fast,
               std::vector<unsigned char>& png);
// Encodes and writes the file through a temporary name; false with a reason.
bool WritePngFile(const std::string& path, int width, int height,
                  const std::vector<unsigned char>& rgb, std::string& reason);

}  // namespace cli
}  // namespace TVK

#endif
