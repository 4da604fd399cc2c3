// PNG encoding into memory. libpng reports errors by longjmp, so the code
// between setjmp and the end of the encoding creates no C++ object that
// would need its destructor run.
#include "png_io.h"

#include <csetjmp>

#include <png.h>

#include <tvk.h>

namespace TVK {
namespace cli {

namespace {

void AppendBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<unsigned char>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void NoFlush(png_structp) {}

// Owns the two libpng structures.
struct ePngWriter {
    png_structp Png = nullptr;
    png_infop Info = nullptr;
    ePngWriter() {
        Png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        if (Png != nullptr) Info = png_create_info_struct(Png);
    }
    ~ePngWriter() { png_destroy_write_struct(&Png, &Info); }
    ePngWriter(const ePngWriter&) = delete;
    ePngWriter& operator=(const ePngWriter&) = delete;
};

bool Encode(ePngWriter& w, int width, int height, const unsigned char* rgb, bool fast,
            std::vector<unsigned char>* out) {
    if (setjmp(png_jmpbuf(w.Png))) return false;
    png_set_write_fn(w.Png, out, AppendBytes, NoFlush);
    png_set_IHDR(w.Png, w.Info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
                 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (fast) {
        png_set_compression_level(w.Png, 1);
        png_set_filter(w.Png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    }
    png_write_info(w.Png, w.Info);
    for (int y = 0; y < height; ++y) {
        png_write_row(w.Png, const_cast<png_bytep>(rgb + static_cast<size_t>(y) * width * 3));
    }
    png_write_end(w.Png, nullptr);
    return true;
}

}  // namespace

bool EncodePng(int width, int height, const std::vector<unsigned char>& rgb, bool fast,
               std::vector<unsigned char>& png) {
    if (width <= 0 || height <= 0 || rgb.size() != static_cast<size_t>(width) * height * 3)
        return false;
    png.clear();
    ePngWriter writer;
    if (writer.Png == nullptr || writer.Info == nullptr) return false;
    return Encode(writer, width, height, rgb.data(), fast, &png);
}

bool WritePngFile(const std::string& path, int width, int height,
                  const std::vector<unsigned char>& rgb, std::string& reason) {
    std::vector<unsigned char> png;
    if (!EncodePng(width, height, rgb, false, png)) {
        reason = "PNG encoding failed";
        return false;
    }
    const std::string temp = path + ".temp";
    eFile out;
    if (!out.Open(temp, eFile::CreateTruncate)) {
        reason = "cannot be created";
        return false;
    }
    const bool written = out.WriteAt(0, png.data(), static_cast<int64_t>(png.size()));
    const bool closed = out.Close();
    if (!written || !closed || !eFile::Rename(temp, path)) {
        eFile::Delete(temp);
        reason = "write failed";
        return false;
    }
    return true;
}

}  // namespace cli
}  // namespace TVK
