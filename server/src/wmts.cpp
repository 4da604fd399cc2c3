// OGC WMTS 1.0.0 capabilities of one cache.
//
// Scale denominators use the OGC's 0.28 mm pixel: resolution in metres /
// 0.00028, where a geographic system's degree is the length of one degree
// along its ellipsoid's equator. Corners are written in the axis order the
// system's registry defines (latitude first for EPSG:4326).
#include <algorithm>
#include <cmath>

#include "documents.h"
#include "text_out.h"

namespace TVK {
namespace server {

namespace {

void AppendPair(std::string& out, const tagServedCache& c, double x, double y) {
    AppendNumber(out, c.NorthingFirst ? y : x);
    out += ' ';
    AppendNumber(out, c.NorthingFirst ? x : y);
}

void AppendOperation(std::string& out, const char* name, const std::string& href) {
    out += "<ows:Operation name=\"";
    out += name;
    out += "\"><ows:DCP><ows:HTTP><ows:Get xlink:href=\"";
    AppendXml(out, href);
    out +=
        "\"><ows:Constraint name=\"GetEncoding\"><ows:AllowedValues><ows:Value>KVP</ows:Value>"
        "</ows:AllowedValues></ows:Constraint></ows:Get></ows:HTTP></ows:DCP></ows:Operation>\n";
}

// First and last tile (inclusive) of the data extent along one axis,
// within the matrix.
void TileSpan(double from, double to, double span, long long matrix, long long& first,
              long long& last) {
    const double a = std::floor(from / span + 1e-6);
    const double b = std::ceil(to / span - 1e-6) - 1;
    first = static_cast<long long>(std::clamp(a, 0.0, static_cast<double>(matrix - 1)));
    last = static_cast<long long>(
        std::clamp(b, static_cast<double>(first), static_cast<double>(matrix - 1)));
}

}  // namespace

std::string WriteWmtsCapabilities(const tagServedCache& c, std::string_view base) {
    const std::string root = std::string(base) + "/" + c.Name + "/wmts";
    // Without a registry code no URN can name the system; EPSG code 0 says
    // "unknown" in a form every reader still parses.
    std::string crs = c.CrsUrn();
    if (crs.empty()) crs = "urn:ogc:def:crs:EPSG::0";

    std::string out;
    out.reserve(4096 + 400 * c.Levels.size());
    out +=
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\" "
        "xmlns:ows=\"http://www.opengis.net/ows/1.1\" "
        "xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:gml=\"http://www.opengis.net/gml\" "
        "xsi:schemaLocation=\"http://www.opengis.net/wmts/1.0 "
        "http://schemas.opengis.net/wmts/1.0/wmtsGetCapabilities_response.xsd\" "
        "version=\"1.0.0\">\n"
        "<ows:ServiceIdentification><ows:Title>";
    AppendXml(out, c.Name);
    out +=
        "</ows:Title><ows:ServiceType>OGC WMTS</ows:ServiceType>"
        "<ows:ServiceTypeVersion>1.0.0</ows:ServiceTypeVersion></ows:ServiceIdentification>\n"
        "<ows:OperationsMetadata>\n";
    AppendOperation(out, "GetCapabilities", root + "?");
    AppendOperation(out, "GetTile", root + "?");
    out += "</ows:OperationsMetadata>\n<Contents>\n<Layer>\n<ows:Title>";
    AppendXml(out, c.Name);
    out += "</ows:Title>\n<ows:WGS84BoundingBox><ows:LowerCorner>";
    AppendNumber(out, c.West);
    out += ' ';
    AppendNumber(out, c.South);
    out += "</ows:LowerCorner><ows:UpperCorner>";
    AppendNumber(out, c.East);
    out += ' ';
    AppendNumber(out, c.North);
    out += "</ows:UpperCorner></ows:WGS84BoundingBox>\n<ows:Identifier>";
    AppendXml(out, c.Name);
    out += "</ows:Identifier>\n<ows:BoundingBox crs=\"";
    AppendXml(out, crs);
    out += "\"><ows:LowerCorner>";
    AppendPair(out, c, c.MinX, c.MinY);
    out += "</ows:LowerCorner><ows:UpperCorner>";
    AppendPair(out, c, c.MaxX, c.MaxY);
    out +=
        "</ows:UpperCorner></ows:BoundingBox>\n"
        "<Style isDefault=\"true\"><ows:Identifier>default</ows:Identifier></Style>\n";
    const std::vector<const char*> mimes = c.MimeTypes();
    for (const char* mime : mimes) {
        out += "<Format>";
        out += mime;
        out += "</Format>\n";
    }
    out += "<TileMatrixSetLink><TileMatrixSet>";
    AppendXml(out, c.Name);
    out += "</TileMatrixSet>\n<TileMatrixSetLimits>\n";
    for (size_t i = 0; i < c.Levels.size(); ++i) {
        const tagServedLevel& l = c.Levels[i];
        const double span = l.Resolution * c.TileSize;
        long long minRow, maxRow, minCol, maxCol;
        TileSpan(c.OriginY - c.MaxY, c.OriginY - c.MinY, span, l.MatrixHeight, minRow, maxRow);
        TileSpan(c.MinX - c.OriginX, c.MaxX - c.OriginX, span, l.MatrixWidth, minCol, maxCol);
        out += "<TileMatrixLimits><TileMatrix>";
        AppendInt(out, static_cast<long long>(i));
        out += "</TileMatrix><MinTileRow>";
        AppendInt(out, minRow);
        out += "</MinTileRow><MaxTileRow>";
        AppendInt(out, maxRow);
        out += "</MaxTileRow><MinTileCol>";
        AppendInt(out, minCol);
        out += "</MinTileCol><MaxTileCol>";
        AppendInt(out, maxCol);
        out += "</MaxTileCol></TileMatrixLimits>\n";
    }
    out += "</TileMatrixSetLimits>\n</TileMatrixSetLink>\n";
    for (const char* mime : mimes) {
        const bool jpeg = std::string_view(mime) == "image/jpeg";
        out += "<ResourceURL format=\"";
        out += mime;
        out += "\" resourceType=\"tile\" template=\"";
        std::string tmpl = root + "/1.0.0/" + c.Name +
                           "/{Style}/{TileMatrixSet}/{TileMatrix}/{TileRow}/{TileCol}.";
        tmpl += jpeg ? "jpg" : c.Extension();
        AppendXml(out, tmpl);
        out += "\"/>\n";
    }
    out += "</Layer>\n<TileMatrixSet>\n<ows:Identifier>";
    AppendXml(out, c.Name);
    out += "</ows:Identifier>\n<ows:SupportedCRS>";
    AppendXml(out, crs);
    out += "</ows:SupportedCRS>\n";
    for (size_t i = 0; i < c.Levels.size(); ++i) {
        const tagServedLevel& l = c.Levels[i];
        out += "<TileMatrix><ows:Identifier>";
        AppendInt(out, static_cast<long long>(i));
        out += "</ows:Identifier><ScaleDenominator>";
        AppendNumber(out, l.ScaleDenominator);
        out += "</ScaleDenominator><TopLeftCorner>";
        AppendPair(out, c, c.OriginX, c.OriginY);
        out += "</TopLeftCorner><TileWidth>";
        AppendInt(out, c.TileSize);
        out += "</TileWidth><TileHeight>";
        AppendInt(out, c.TileSize);
        out += "</TileHeight><MatrixWidth>";
        AppendInt(out, l.MatrixWidth);
        out += "</MatrixWidth><MatrixHeight>";
        AppendInt(out, l.MatrixHeight);
        out += "</MatrixHeight></TileMatrix>\n";
    }
    out += "</TileMatrixSet>\n</Contents>\n<ServiceMetadataURL xlink:href=\"";
    AppendXml(out, root + "/1.0.0/WMTSCapabilities.xml");
    out += "\"/>\n</Capabilities>\n";
    return out;
}

std::string WriteOwsException(const char* code, const char* locator) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<ows:ExceptionReport xmlns:ows=\"http://www.opengis.net/ows/1.1\" version=\"1.1.0\" "
        "xml:lang=\"en\">\n<ows:Exception exceptionCode=\"";
    AppendXml(out, code);
    out += "\" locator=\"";
    AppendXml(out, locator);
    out += "\"/>\n</ows:ExceptionReport>\n";
    return out;
}

}  // namespace server
}  // namespace TVK
