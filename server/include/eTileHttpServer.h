// eTileHttpServer: serves the tiles of one or more caches over HTTP, in the
// process that holds them.
//
// Each cache gets a URL name; below it the server answers XYZ tile requests
// (/NAME/{z}/{x}/{y}), WMTS 1.0.0 (RESTful and KVP), TileJSON for caches on
// the Web Mercator grid, ArcGIS REST tile access (/NAME/MapServer), and a map
// page (/NAME/). "/" lists the caches. Tiles are read with
// eTileStorage::LoadImageData on the server's own threads, so the storages
// must be set up before Start and outlive the server; the server never
// writes to them.
//
// Nothing from a request reaches the file system except parsed integers
// (level, row, column) and the configured cache names.
//
// Threads: AddCache and Start on one thread, before the server runs. Stop
// (and WaitForStopSignal) may be called from any thread once; the destructor
// stops a running server.
#ifndef TVK_SERVER_ETILEHTTPSERVER_H
#define TVK_SERVER_ETILEHTTPSERVER_H

#include <memory>

#include "eTileStorage.h"
#include "platform/eByteArray.h"
#include "platform/eString.h"

#if defined(_WIN32)
#ifdef TVK_BUILDING_SERVER
#define TVK_SERVER_API __declspec(dllexport)
#else
#define TVK_SERVER_API __declspec(dllimport)
#endif
#else
#define TVK_SERVER_API __attribute__((visibility("default")))
#endif

namespace TVK {

struct tagServeOptions {
    // What to answer for a tile the cache does not hold.
    enum EmMissing {
        Missing404 = 0,   // 404 Not Found
        Missing204 = 1,   // 204 No Content
        MissingTile = 2,  // 200 with MissingTileBytes (a transparent or empty tile)
    };

    eString BindAddress = "127.0.0.1";  // loopback unless the caller chooses otherwise
    int Port = 8080;                    // 0: any free port (GetPort tells which)
    int Threads = 0;                    // 0: one per hardware thread
    int MaxAgeSeconds = 86400;          // Cache-Control max-age of tiles
    eString CorsOrigin = "*";           // Access-Control-Allow-Origin; empty: no header
    EmMissing Missing = Missing404;
    eByteArray MissingTileBytes;
    int MaxConnections = 1024;  // further connections get 503 and are closed
    // A connection that sends no complete request (or does not take its
    // response) for this long is closed: slow clients cannot pin the server.
    int IdleSeconds = 30;
    int MaxHeaderBytes = 8192;  // larger request headers: 431
    int MaxUrlBytes = 2048;     // longer request targets: 414
    // Common log format, one line per response: a file path, "-" for
    // standard output, empty for no log.
    eString AccessLogPath;
    // Folder holding Leaflet (leaflet.js, leaflet.css, images/); the map page
    // needs it. Empty: the folders the package installs and Debian's.
    eString LeafletDirectory;
};

class TVK_SERVER_API eTileHttpServer {
public:
    eTileHttpServer();
    ~eTileHttpServer();
    eTileHttpServer(const eTileHttpServer&) = delete;
    eTileHttpServer& operator=(const eTileHttpServer&) = delete;

    // Serves `storage` under /NAME/. Names are 1 to 64 characters of
    // letters, digits, '.', '_' and '-', starting with a letter or digit,
    // unique per server. 0 (with GetLastError) for a bad or taken name or a
    // storage without levels. The storage is not owned.
    unsigned char AddCache(const eString& name, eTileStorage* storage);

    // Binds, loads the map page's files and starts the threads; 0 (with
    // GetLastError) when the address cannot be bound or the log opened.
    unsigned char Start(const tagServeOptions& options);
    // The port bound (useful with Port 0); 0 before Start.
    int GetPort() const;
    // Why the last AddCache or Start failed.
    const eString& GetLastError() const;

    // Stops accepting, closes idle connections, lets responses in flight
    // finish (waiting at most IdleSeconds), then joins the threads.
    void Stop();
    // Blocks until SIGINT or SIGTERM arrives (or Stop is called), then stops.
    void WaitForStopSignal();

    // A valid URL name for a folder name: characters other than letters,
    // digits, '.', '_' and '-' become '-', the start is made a letter or
    // digit, the length cut to 64; "cache" when nothing is left.
    static eString NameFromFolder(const eString& folder);
    static bool IsValidName(const eString& name);

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace TVK

#endif
