// tvk serve: serves caches over HTTP until SIGINT or SIGTERM.
#include <cstdio>
#include <memory>
#include <vector>

#include <eTileHttpServer.h>

#include "cache_open.h"
#include "cli.h"

namespace TVK {
namespace cli {

namespace {

struct tagServeArgs {
    std::vector<std::string> Caches;
    std::vector<std::string> Names;
    std::string Bind = "127.0.0.1";
    int Port = 8080;
    int MaxAge = 86400;
    std::string Cors = "*";
    std::string Missing = "404";
    int MaxConnections = 1024;
    int IdleSeconds = 30;
    int Threads = 0;
    std::string AccessLog;
    std::string Leaflet;
};

bool IsLoopback(const std::string& address) {
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

// The folder name of a cache: the last component of its root.
std::string FolderName(const std::string& root) {
    std::string path = root;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return eFile::GetFileName(path).Std();
}

int RunServe(const tagServeArgs& args) {
    if (args.Names.size() > args.Caches.size())
        return Fail(kExitUsage, "serve", "more --name options than caches");
    tagServeOptions options;
    options.BindAddress = args.Bind;
    options.Port = args.Port;
    options.MaxAgeSeconds = args.MaxAge;
    options.CorsOrigin = args.Cors;
    options.MaxConnections = args.MaxConnections;
    options.IdleSeconds = args.IdleSeconds;
    options.Threads = args.Threads;
    options.AccessLogPath = args.AccessLog;
    options.LeafletDirectory = args.Leaflet;
    if (args.Missing == "404") {
        options.Missing = tagServeOptions::Missing404;
    } else if (args.Missing == "204") {
        options.Missing = tagServeOptions::Missing204;
    } else {
        eFileStream in;
        if (!in.Open(args.Missing, eFileStream::Read) ||
            !in.LoadByteArray(options.MissingTileBytes))
            return Fail(kExitFailed, args.Missing,
                        "cannot be read (--missing takes 404, 204 or a file)");
        options.Missing = tagServeOptions::MissingTile;
    }

    std::vector<eOpenCache> caches(args.Caches.size());
    eTileHttpServer server;
    std::vector<std::string> names;
    for (size_t i = 0; i < args.Caches.size(); ++i) {
        if (const int code = OpenCache(args.Caches[i], caches[i])) return code;
        const std::string name =
            i < args.Names.size()
                ? args.Names[i]
                : eTileHttpServer::NameFromFolder(FolderName(caches[i].Root)).Std();
        if (!server.AddCache(name, caches[i].Storage.get()))
            return Fail(kExitUsage, args.Caches[i], server.GetLastError().Std());
        names.push_back(name);
    }
    if (!server.Start(options)) return Fail(kExitFailed, "serve", server.GetLastError().Std());

    std::string host = args.Bind == "0.0.0.0" ? "127.0.0.1" : args.Bind == "::" ? "::1" : args.Bind;
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    const std::string base = "http://" + host + ":" + std::to_string(server.GetPort()) + "/";
    std::printf("tvk serve: %zu cache%s at %s (stop with Ctrl-C)\n", names.size(),
                names.size() == 1 ? "" : "s", base.c_str());
    for (const std::string& name : names) std::printf("  %s/\n", (base + name).c_str());
    if (!IsLoopback(args.Bind))
        std::printf("listening on %s: anyone who reaches this address can read these caches\n",
                    args.Bind.c_str());
    std::fflush(stdout);
    server.WaitForStopSignal();
    return kExitOk;
}

}  // namespace

void RegisterServe(CLI::App& app, eCommandTable& table) {
    auto args = std::make_shared<tagServeArgs>();
    CLI::App* sub = app.add_subcommand(
        "serve", "Serve caches over HTTP: map page, XYZ, WMTS, TileJSON and ArcGIS REST");
    sub->add_option("CACHE", args->Caches,
                    "Caches to serve (folder or description file, as elsewhere)")
        ->required();
    sub->add_option("--bind", args->Bind, "Address to listen on (default loopback)");
    sub->add_option("--port", args->Port, "Port (default 8080; 0 picks a free one)")
        ->check(CLI::Range(0, 65535));
    sub->add_option("--name", args->Names,
                    "URL name of each cache, in order (default: its folder's name)")
        ->allow_extra_args(false);
    sub->add_option("--max-age", args->MaxAge, "Cache-Control max-age of tiles in seconds")
        ->check(CLI::Range(0, 1 << 30));
    sub->add_option("--cors", args->Cors,
                    "Access-Control-Allow-Origin (default *; empty for none)");
    sub->add_option("--missing", args->Missing,
                    "Answer for missing tiles: 404, 204, or a file to send instead");
    sub->add_option("--max-connections", args->MaxConnections,
                    "Open connections at most; more get 503")
        ->check(CLI::Range(1, 1 << 20));
    sub->add_option("--idle-timeout", args->IdleSeconds,
                    "Seconds a connection may take to send a request or take a response")
        ->check(CLI::Range(1, 3600));
    sub->add_option("--threads", args->Threads, "Worker threads (default: one per core)")
        ->check(CLI::Range(0, 256));
    sub->add_option("--access-log", args->AccessLog,
                    "Common log format to this file, or - for standard output");
    sub->add_option("--leaflet", args->Leaflet, "Folder holding Leaflet for the map page");
    table.Add(sub, [args]() { return RunServe(*args); });
}

}  // namespace cli
}  // namespace TVK
