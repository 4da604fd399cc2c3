// Helpers of the server tests: tiling schemes built in memory (Web Mercator,
// geographic, a projected grid with uneven scales, ArcGIS level numbers),
// and, for the tests that run the built `tvk serve`, a server process on a
// free loopback port and a small HTTP client.
#ifndef TVK_TESTS_SERVER_SERVER_SUPPORT_H
#define TVK_TESTS_SERVER_SERVER_SUPPORT_H

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "eTileStorage.h"
#include "served_cache.h"
#include "support/storage_util.h"
#include "support/test_processes.h"

namespace tvktest {

using namespace TVK;

// Web Mercator, one 256-pixel tile at level 0, `levels` levels doubling.
void MakeWebMercator(eTileStorage& storage, int levels, eTileStorage::EmFormat format);
// EPSG:4326, two 180-degree tiles at level 0.
void MakeGeographic(eTileStorage& storage, int levels, eTileStorage::EmFormat format);
// EPSG:25832 (UTM 32N), 512-pixel tiles, origin (200000, 6200000), levels
// of 1:50,000, 1:20,000 and 1:10,000 at 96 DPI: not a doubling pyramid.
void MakeUtm(eTileStorage& storage, eTileStorage::EmFormat format);

// A cache description as the server sees it.
server::tagServedCache Describe(eTileStorage& storage, const std::string& name);

// Bytes that start like a PNG, then `salt` and filler: distinct per tile.
Bytes FakePng(const std::string& salt, size_t size = 600);

struct tagHttpReply {
    long Status = 0;                             // 0: no answer
    std::map<std::string, std::string> Headers;  // lower-case names
    Bytes Body;
};
// One request with libcurl (a fresh connection); extra headers "Name: value".
tagHttpReply HttpGet(const std::string& url, const std::vector<std::string>& headers = {},
                     bool head = false);
// A client that keeps its connection between requests (one thread at a time).
class HttpClient {
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;
    tagHttpReply Get(const std::string& url, const std::vector<std::string>& headers = {},
                     bool head = false);

private:
    void* m_curl;
};
// Raw bytes to 127.0.0.1:port; everything the server sends back until it
// closes or `seconds` pass. With pauseMs, a slow reader: 16 KB at a time,
// pausing between reads.
std::string RawExchange(int port, const std::string& request, double seconds = 5.0,
                        int pauseMs = 0);
inline std::string ToString(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A `tvk serve` child on a free loopback port; SIGTERM and wait on destruction.
class ServeProcess {
public:
    // Extra arguments after "serve"; --port 0 is added.
    explicit ServeProcess(const std::vector<std::string>& args);
    ~ServeProcess();
    bool Running() const { return m_nPort > 0; }
    int Port() const { return m_nPort; }
    pid_t Pid() const { return m_pid; }
    std::string Url(const std::string& path) const;
    // SIGTERM, then the exit code (-1 when it did not exit by itself within 10 s).
    int Stop();
    // Resident memory in kB (/proc), 0 when unknown.
    long RssKb() const;
    const std::string& Output() const { return m_output; }

private:
    pid_t m_pid = -1;
    int m_nPort = 0;
    std::string m_output;
};

}  // namespace tvktest

#endif
