// Real clients against `tvk serve`: GDAL's WMTS driver renders mosaics that
// equal the cache's own tiles pixel for pixel (Web Mercator and EPSG:4326,
// whose corners are latitude first), OWSLib reads the capabilities and
// fetches tiles, and headless Chromium draws the map page from the server's
// tiles. Each part is skipped when its client is not installed.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdlib>
#include <regex>

#include "server_support.h"

namespace tvktest {

namespace {

struct tagImage {
    int Width = 0, Height = 0;
    std::vector<unsigned char> Rgba;
};

bool Decode(const Bytes& png, tagImage& image) {
    png_image reader{};
    reader.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&reader, png.data(), png.size())) return false;
    reader.format = PNG_FORMAT_RGBA;
    image.Width = static_cast<int>(reader.width);
    image.Height = static_cast<int>(reader.height);
    image.Rgba.resize(PNG_IMAGE_SIZE(reader));
    return png_image_finish_read(&reader, nullptr, image.Rgba.data(), 0, nullptr) != 0;
}

// The shell command's exit code; its output goes to `log` (standard error
// too, unless `errors` names another file).
int Shell(const std::string& command, const std::string& log, const std::string& errors = "") {
    const std::string redirect = errors.empty() ? " 2>&1" : " 2>" + errors;
    const int status = std::system((command + " >" + log + redirect).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Two caches of generated PNG tiles (each tile shows its own address).
class Clients : public ::testing::Test {
protected:
    void SetUp() override {
        if (TvkPath().empty()) GTEST_SKIP() << "the tvk tool was not built";
        ASSERT_EQ(RunTvk({"create", Path("merc"), "--crs", "EPSG:3857", "--levels", "0-2"}).Code,
                  0);
        ASSERT_EQ(RunTvk({"demo-fill", Path("merc"), "--levels", "0-2"}).Code, 0);
        ASSERT_EQ(RunTvk({"create", Path("geo"), "--crs", "EPSG:4326", "--levels", "0-1"}).Code, 0);
        ASSERT_EQ(RunTvk({"demo-fill", Path("geo"), "--levels", "0-1"}).Code, 0);
    }
    std::string Path(const std::string& name) const { return m_dir.Str() + "/" + name; }
    // GDAL keeps fetched tiles in ./gdalwmscache unless told otherwise: a
    // folder of the test's own, so nothing stale is read and nothing is left.
    std::string Gdal() const { return "GDAL_DEFAULT_WMS_CACHE_PATH=" + Path("wmscache") + " "; }
    TempDir m_dir;
};

}  // namespace

TEST_F(Clients, GdalRendersTheCachesOwnPixels) {
    if (!HaveProgram("gdal_translate")) GTEST_SKIP() << "GDAL is not installed";
    ServeProcess server({Path("merc"), Path("geo")});
    ASSERT_TRUE(server.Running()) << server.Output();
    struct {
        const char* Name;
        int Level, Cols, Rows;
    } const cases[] = {{"merc", 2, 4, 4}, {"geo", 1, 4, 2}};
    for (const auto& c : cases) {
        const std::string caps =
            server.Url("/" + std::string(c.Name) + "/wmts/1.0.0/WMTSCapabilities.xml");
        const std::string out = Path(std::string(c.Name) + ".png");
        ASSERT_EQ(Shell(Gdal() + "gdal_translate -q -of PNG 'WMTS:" + caps +
                            ",tilematrix=" + std::to_string(c.Level) + "' " + out,
                        Path("gdal.log")),
                  0)
            << ReadText(Path("gdal.log"));
        tagImage mosaic;
        ASSERT_TRUE(Decode(ReadFile(out), mosaic)) << c.Name;
        ASSERT_EQ(mosaic.Width, c.Cols * 256) << c.Name;
        ASSERT_EQ(mosaic.Height, c.Rows * 256) << c.Name;
        // Every tile of the level against its place in the mosaic.
        long differing = 0;
        for (int row = 0; row < c.Rows; ++row) {
            for (int col = 0; col < c.Cols; ++col) {
                // Bytes equal to `tvk get`'s are checked elsewhere; here the pixels.
                const tagHttpReply reply =
                    HttpGet(server.Url("/" + std::string(c.Name) + "/" + std::to_string(c.Level) +
                                       "/" + std::to_string(col) + "/" + std::to_string(row)));
                ASSERT_EQ(reply.Status, 200);
                tagImage tile;
                ASSERT_TRUE(Decode(reply.Body, tile));
                for (int y = 0; y < 256; ++y) {
                    const unsigned char* a = &tile.Rgba[static_cast<size_t>(y) * 256 * 4];
                    const unsigned char* b =
                        &mosaic
                             .Rgba[(static_cast<size_t>(row * 256 + y) * mosaic.Width + col * 256) *
                                   4];
                    for (int i = 0; i < 256 * 4; ++i) differing += a[i] != b[i];
                }
            }
        }
        EXPECT_EQ(differing, 0) << c.Name;
    }
    // gdalinfo sees EPSG:4326 with latitude first and the grid's origin.
    ASSERT_EQ(
        Shell(Gdal() + "gdalinfo 'WMTS:" + server.Url("/geo/wmts/1.0.0/WMTSCapabilities.xml") + "'",
              Path("info.log")),
        0);
    const std::string info = ReadText(Path("info.log"));
    EXPECT_NE(info.find("Origin = (-180.000000000000000,90.000000000000000)"), std::string::npos)
        << info;
    EXPECT_NE(info.find("Size is 1024, 512"), std::string::npos) << info;
}

TEST_F(Clients, OwsLibReadsCapabilitiesAndTiles) {
    if (Shell("/usr/bin/python3 -c 'import owslib'", Path("py.log")) != 0)
        GTEST_SKIP() << "python3-owslib is not installed";
    ServeProcess server({Path("merc"), Path("geo")});
    ASSERT_TRUE(server.Running()) << server.Output();
    const std::string script = Path("read_wmts.py");
    WriteText(script,
              "import sys\n"
              "from owslib.wmts import WebMapTileService\n"
              "base, name, out = sys.argv[1], sys.argv[2], sys.argv[3]\n"
              "for url in (base + '/' + name + '/wmts/1.0.0/WMTSCapabilities.xml',\n"
              "            base + '/' + name + '/wmts?SERVICE=WMTS&REQUEST=GetCapabilities'):\n"
              "    w = WebMapTileService(url)\n"
              "    tms = w.tilematrixsets[name]\n"
              "    m = tms.tilematrix['1']\n"
              "    print(list(w.contents), tms.crs, m.topleftcorner, m.matrixwidth, "
              "m.matrixheight)\n"
              "t = w.gettile(layer=name, tilematrixset=name, tilematrix='1', row=0, column=1,\n"
              "              format='image/png')\n"
              "open(out, 'wb').write(t.read())\n");
    for (const char* name : {"merc", "geo"}) {
        const std::string tile = Path(std::string(name) + "-owslib.png");
        ASSERT_EQ(
            Shell("/usr/bin/python3 " + script + " " + server.Url("") + " " + name + " " + tile,
                  Path("owslib.log")),
            0)
            << ReadText(Path("owslib.log"));
        const tagRun expected = RunTvk({"get", Path(name), "1", "0", "1"});
        ASSERT_EQ(expected.Code, 0);
        EXPECT_EQ(ReadFile(tile), Text(expected.Out)) << name;
        const std::string printed = ReadText(Path("owslib.log"));
        if (std::string(name) == "geo") {
            // Latitude first, 4 x 2 tiles at level 1, from both capabilities.
            EXPECT_EQ(printed,
                      "['geo'] urn:ogc:def:crs:EPSG::4326 (90.0, -180.0) 4 2\n"
                      "['geo'] urn:ogc:def:crs:EPSG::4326 (90.0, -180.0) 4 2\n");
        }
    }
}

TEST_F(Clients, ChromiumDrawsTheMapPageFromTheServersTiles) {
    if (!HaveProgram("chromium")) GTEST_SKIP() << "chromium is not installed";
    const std::string log = Path("access.log");
    ServeProcess server({Path("merc"), Path("geo"), "--access-log", log});
    ASSERT_TRUE(server.Running()) << server.Output();
    for (const char* name : {"merc", "geo"}) {
        const std::string dom = Path(std::string(name) + ".html");
        const std::string profile = Path(std::string("profile-") + name);
        Shell(
            "timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic "
            "--no-first-run --disable-background-networking --disable-component-update "
            "--disable-sync --user-data-dir=" +
                profile + " --window-size=1000,700 --virtual-time-budget=5000 --dump-dom " +
                server.Url("/" + std::string(name) + "/"),
            dom, Path("chromium.log"));
        const std::string page = ReadText(dom);
        // Leaflet marks an image tile "leaflet-tile-loaded" once it has drawn it.
        const std::regex loaded("<img[^>]*src=\"/" + std::string(name) +
                                "/[0-9]+/[0-9]+/[0-9]+\\.png\"[^>]*leaflet-tile-loaded");
        const auto count = std::distance(std::sregex_iterator(page.begin(), page.end(), loaded),
                                         std::sregex_iterator());
        EXPECT_GE(count, 2) << name << "\n" << page.substr(0, 3000);
    }
    EXPECT_EQ(server.Stop(), 0);
    // The browser fetched Leaflet and the tiles from this server.
    const std::string text = ReadText(log);
    EXPECT_NE(text.find("\"GET /_tvk/leaflet.js HTTP/1.1\" 200"), std::string::npos);
    EXPECT_TRUE(std::regex_search(text, std::regex("\"GET /geo/0/[01]/0\\.png HTTP/1.1\" 200")));
}

}  // namespace tvktest
