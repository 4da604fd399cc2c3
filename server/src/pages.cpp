// The pages people open: the list of caches at "/" (HTML or JSON) and the
// map page of one cache.
//
// The map page draws the cache with Leaflet (served from /_tvk/, no network
// needed). A cache on the Web Mercator grid with square tiles of 256 x 2^m
// pixels is drawn in Leaflet's own Web Mercator map, its levels mapped to
// Leaflet zooms through zoomOffset; an OpenStreetMap base layer can be
// switched on (or asked for with ?basemap=osm), and is off by default so
// that the page makes no request beyond this server. Any other scheme is
// drawn in a Leaflet CRS built from the cache's own resolutions and origin,
// so Leaflet's tile x, y and zoom are the cache's column, row and level, with
// a grid of tile outlines labelled level/row/col. The level, row and column
// under the pointer are shown in both.
#include <cmath>

#include "documents.h"
#include "text_out.h"

namespace TVK {
namespace server {

namespace {

std::string CrsLabel(const tagServedCache& c) {
    if (c.CrsCode > 0) return c.CrsAuthority + ":" + std::to_string(c.CrsCode);
    return "(no registry code)";
}

// Leaflet zoom minus Web Mercator zoom for a tile size: 0 for 256 pixels,
// 1 for 512...; -1 when the page cannot use Leaflet's Web Mercator map.
int LeafletZoomShift(int tileSize) {
    for (int m = 0; m <= 4; ++m)
        if (tileSize == (256 << m)) return m;
    return -1;
}

const char kPageScript[] = R"JS(
(function () {
  var cfg = TVK_CONFIG;
  if (typeof L === 'undefined') {
    document.getElementById('map').textContent = 'Leaflet could not be loaded.';
    return;
  }
  var ts = cfg.tileSize, map, tiles, levelOfZoom, dataBounds;
  var zMin = cfg.minZoom, zMax = cfg.minZoom + cfg.levels - 1;
  if (cfg.mercator) {
    map = L.map('map', {minZoom: Math.max(0, zMin - 2), maxZoom: zMax + 2});
    dataBounds = L.latLngBounds([[cfg.wgs84[1], cfg.wgs84[0]], [cfg.wgs84[3], cfg.wgs84[2]]]);
    levelOfZoom = function (z) { return z + cfg.zoomOffset; };
  } else {
    var res = cfg.resolutions, n = res.length;
    var crs = L.extend({}, L.CRS.Simple, {
      transformation: new L.Transformation(1, -cfg.origin[0], -1, cfg.origin[1]),
      scale: function (z) {
        if (z <= 0) return Math.pow(2, z) / res[0];
        if (z >= n - 1) return Math.pow(2, z - (n - 1)) / res[n - 1];
        var i = Math.floor(z), f = z - i;
        return 1 / (res[i] * Math.pow(res[i + 1] / res[i], f));
      },
      zoom: function (s) {
        var r = 1 / s;
        if (r >= res[0]) return Math.log(res[0] / r) / Math.LN2;
        for (var i = 0; i < n - 1; i++) {
          if (r >= res[i + 1]) return i + Math.log(r / res[i]) / Math.log(res[i + 1] / res[i]);
        }
        return n - 1 + Math.log(res[n - 1] / r) / Math.LN2;
      },
      infinite: true
    });
    map = L.map('map', {crs: crs, minZoom: -2, maxZoom: n + 1});
    dataBounds = L.latLngBounds([[cfg.extent[1], cfg.extent[0]], [cfg.extent[3], cfg.extent[2]]]);
    levelOfZoom = function (z) { return z; };
  }
  tiles = L.tileLayer(cfg.tiles, {
    tileSize: ts, zoomOffset: cfg.zoomOffset, minZoom: map.getMinZoom(), maxZoom: map.getMaxZoom(),
    minNativeZoom: zMin, maxNativeZoom: zMax, noWrap: true, bounds: dataBounds,
    attribution: cfg.name
  }).addTo(map);

  var Grid = L.GridLayer.extend({
    createTile: function (coords) {
      var div = L.DomUtil.create('div', 'tvk-grid');
      div.textContent = levelOfZoom(coords.z) + '/' + coords.y + '/' + coords.x;
      return div;
    }
  });
  var grid = new Grid({tileSize: ts, minZoom: map.getMinZoom(), maxZoom: map.getMaxZoom(),
                       minNativeZoom: zMin, maxNativeZoom: zMax, noWrap: true});
  var bases = {'None': L.layerGroup()};
  if (cfg.mercator) {
    bases['OpenStreetMap'] = L.tileLayer('https://tile.openstreetmap.org/{z}/{x}/{y}.png', {
      maxZoom: 19, attribution: '&copy; OpenStreetMap contributors'});
  }
  var wantOsm = cfg.mercator && /[?&]basemap=osm\b/.test(location.search);
  (wantOsm ? bases['OpenStreetMap'] : bases['None']).addTo(map);
  tiles.bringToFront();
  if (!cfg.mercator) grid.addTo(map);
  var overlays = {};
  overlays[cfg.name] = tiles;
  overlays['Tile grid (level/row/col)'] = grid;
  L.control.layers(bases, overlays, {collapsed: false}).addTo(map);

  var Position = L.Control.extend({
    onAdd: function () { this._div = L.DomUtil.create('div', 'tvk-pos'); return this._div; }
  });
  var pos = new Position({position: 'bottomleft'});
  pos.addTo(map);
  pos._div.textContent = cfg.name + ': move the pointer over the map';
  map.on('mousemove', function (e) {
    var z = Math.min(Math.max(Math.round(map.getZoom()), zMin), zMax);
    var p = map.project(e.latlng, z);
    var text = 'level ' + levelOfZoom(z) + '  row ' + Math.floor(p.y / ts) +
               '  col ' + Math.floor(p.x / ts);
    text += cfg.mercator ? '  lat ' + e.latlng.lat.toFixed(5) + '  lon ' + e.latlng.lng.toFixed(5)
                         : '  x ' + e.latlng.lng.toFixed(2) + '  y ' + e.latlng.lat.toFixed(2);
    pos._div.textContent = text;
  });
  map.fitBounds(dataBounds);
})();
)JS";

void AppendConfig(std::string& out, const tagServedCache& c) {
    const int shift = LeafletZoomShift(c.TileSize);
    const bool mercator = c.IsWebMercatorGrid() && shift >= 0;
    const int minZoom = mercator ? c.ZoomOffset + shift : 0;
    out += "{\"name\":";
    AppendJsonString(out, c.Name);
    out += ",\"tiles\":";
    AppendJsonString(out, "/" + c.Name + "/{z}/{x}/{y}." + c.Extension());
    out += ",\"tileSize\":";
    AppendInt(out, c.TileSize);
    out += ",\"levels\":";
    AppendInt(out, static_cast<long long>(c.Levels.size()));
    out += ",\"mercator\":";
    out += mercator ? "true" : "false";
    out += ",\"minZoom\":";
    AppendInt(out, minZoom);
    out += ",\"zoomOffset\":";  // tile URL z = Leaflet zoom + zoomOffset
    AppendInt(out, -minZoom);
    out += ",\"wgs84\":[";
    AppendNumber(out, c.West);
    out += ',';
    AppendNumber(out, c.South);
    out += ',';
    AppendNumber(out, c.East);
    out += ',';
    AppendNumber(out, c.North);
    out += "],\"extent\":[";
    AppendNumber(out, c.MinX);
    out += ',';
    AppendNumber(out, c.MinY);
    out += ',';
    AppendNumber(out, c.MaxX);
    out += ',';
    AppendNumber(out, c.MaxY);
    out += "],\"origin\":[";
    AppendNumber(out, c.OriginX);
    out += ',';
    AppendNumber(out, c.OriginY);
    out += "],\"resolutions\":[";
    for (size_t i = 0; i < c.Levels.size(); ++i) {
        if (i > 0) out += ',';
        AppendNumber(out, c.Levels[i].Resolution);
    }
    out += "]}";
}

void AppendLink(std::string& out, const std::string& href, const char* text) {
    out += "<a href=\"";
    AppendXml(out, href);
    out += "\">";
    out += text;
    out += "</a>";
}

}  // namespace

std::string WriteCacheListHtml(const std::vector<tagServedCache>& caches) {
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tile caches</title>"
        "<style>body{font:14px sans-serif;margin:2em}td,th{padding:4px 10px;text-align:left}"
        "</style></head><body>\n<h1>Tile caches</h1>\n<table>\n<tr><th>Name</th><th>Layout</th>"
        "<th>Format</th><th>Levels</th><th>Coordinate system</th><th>Access</th></tr>\n";
    for (const tagServedCache& c : caches) {
        const std::string root = "/" + c.Name + "/";
        out += "<tr><td><a href=\"";
        AppendXml(out, root);
        out += "\">";
        AppendXml(out, c.Name);
        out += "</a></td><td>";
        AppendXml(out, c.Layout);
        out += "</td><td>";
        out += c.Extension();
        out += "</td><td>";
        AppendInt(out, static_cast<long long>(c.Levels.size()));
        out += "</td><td>";
        AppendXml(out, CrsLabel(c));
        out += "</td><td>";
        AppendLink(out, root, "map");
        out += " &middot; ";
        AppendLink(out, root + "wmts/1.0.0/WMTSCapabilities.xml", "WMTS");
        if (c.ZoomOffset == 0) {
            out += " &middot; ";
            AppendLink(out, root + "tilejson.json", "TileJSON");
        }
        out += " &middot; ";
        AppendLink(out, root + "MapServer?f=json", "ArcGIS REST");
        out += " &middot; XYZ <code>";
        AppendXml(out, root + "{z}/{x}/{y}." + c.Extension());
        out += "</code></td></tr>\n";
    }
    out += "</table>\n<p><a href=\"/?f=json\">JSON</a></p>\n</body></html>\n";
    return out;
}

std::string WriteCacheListJson(const std::vector<tagServedCache>& caches, std::string_view base) {
    std::string out = "{\"caches\":[";
    for (size_t i = 0; i < caches.size(); ++i) {
        const tagServedCache& c = caches[i];
        const std::string root = std::string(base) + "/" + c.Name + "/";
        if (i > 0) out += ',';
        out += "\n{\"name\":";
        AppendJsonString(out, c.Name);
        out += ",\"layout\":";
        AppendJsonString(out, c.Layout);
        out += ",\"format\":";
        AppendJsonString(out, c.Extension());
        out += ",\"levels\":";
        AppendInt(out, static_cast<long long>(c.Levels.size()));
        out += ",\"tileSize\":";
        AppendInt(out, c.TileSize);
        out += ",\"crs\":";
        if (c.CrsCode > 0)
            AppendJsonString(out, CrsLabel(c));
        else
            out += "null";
        out += ",\"map\":";
        AppendJsonString(out, root);
        out += ",\"xyz\":";
        AppendJsonString(out, root + "{z}/{x}/{y}." + c.Extension());
        out += ",\"wmts\":";
        AppendJsonString(out, root + "wmts/1.0.0/WMTSCapabilities.xml");
        out += ",\"tilejson\":";
        if (c.ZoomOffset == 0)
            AppendJsonString(out, root + "tilejson.json");
        else
            out += "null";
        out += ",\"arcgis\":";
        AppendJsonString(out, root + "MapServer");
        out += '}';
    }
    out += "\n]}\n";
    return out;
}

std::string WriteMapPage(const tagServedCache& c, bool leaflet) {
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>";
    AppendXml(out, c.Name);
    out += "</title>\n";
    if (!leaflet) {
        out +=
            "</head><body><p>The map needs Leaflet, which this server did not find (Debian "
            "package libjs-leaflet).</p></body></html>\n";
        return out;
    }
    out +=
        "<link rel=\"stylesheet\" href=\"/_tvk/leaflet.css\">\n<style>html,body,#map{height:100%;"
        "margin:0}.tvk-pos{background:rgba(255,255,255,.85);padding:2px 6px;font:12px "
        "monospace}.tvk-grid{box-sizing:border-box;border:1px solid rgba(200,0,0,.45);"
        "font:11px monospace;color:#a00;padding:2px}</style>\n</head><body><div "
        "id=\"map\"></div>\n<script src=\"/_tvk/leaflet.js\"></script>\n<script>";
    std::string script = kPageScript;
    std::string config;
    AppendConfig(config, c);
    script.replace(script.find("TVK_CONFIG"), 10, config);
    out += script;
    out += "</script>\n</body></html>\n";
    return out;
}

}  // namespace server
}  // namespace TVK
