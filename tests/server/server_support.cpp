// Helpers of the server tests.
#include "server_support.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <iterator>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/ePrjCoordSys.h"
#include "support/storage_util.h"

namespace tvktest {

namespace {

void SetUp(eTileStorage& storage, const char* crs, int tileSize, const ePoint2D& origin,
           const eRect2D& extent, const std::vector<double>& scales,
           eTileStorage::EmFormat format) {
    ePrjCoordSys prj;
    EXPECT_TRUE(prj << eWKT(crs)) << crs;
    eTileCoordSys& scheme = storage.GetTileCoordSys();
    scheme.SetPrjCoordSys(prj);
    scheme.SetTileSize(tileSize);
    scheme.SetDPI(96);
    scheme.SetTileOrigin(origin);
    scheme.SetBounds(extent);
    scheme.SetIndexBounds(extent);
    scheme.SetScales(scales);
    storage.SetCacheFormat(format);
}

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<Bytes*>(user);
    body->insert(body->end(), data, data + size * count);
    return size * count;
}

size_t CollectHeader(char* data, size_t size, size_t count, void* user) {
    auto* headers = static_cast<std::map<std::string, std::string>*>(user);
    std::string line(data, size * count);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of("\r\n \t") + 1);
        (*headers)[name] = value;
    }
    return size * count;
}

}  // namespace

void MakeWebMercator(eTileStorage& storage, int levels, eTileStorage::EmFormat format) {
    SetWebMercator(storage.GetTileCoordSys(), levels);
    storage.SetCacheFormat(format);
}

void MakeGeographic(eTileStorage& storage, int levels, eTileStorage::EmFormat format) {
    ePrjCoordSys prj;
    prj << eWKT("EPSG:4326");
    SetUp(storage, "EPSG:4326", 256, ePoint2D(-180, 90), eRect2D(-180, 90, 180, -90),
          eTileCoordSys::ComputeMapScale(prj, 180.0, 256, levels, 96 / 25.4), format);
}

void MakeUtm(eTileStorage& storage, eTileStorage::EmFormat format) {
    SetUp(storage, "EPSG:25832", 512, ePoint2D(200000, 6200000),
          eRect2D(300000, 6100000, 400000, 6000000), {1 / 50000.0, 1 / 20000.0, 1 / 10000.0},
          format);
}

server::tagServedCache Describe(eTileStorage& storage, const std::string& name) {
    server::tagServedCache cache;
    std::string error;
    EXPECT_TRUE(server::DescribeCache(name, storage, cache, error)) << error;
    return cache;
}

Bytes FakePng(const std::string& salt, size_t size) {
    static const unsigned char kMagic[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes b(std::begin(kMagic), std::end(kMagic));
    b.reserve(std::max(size, b.size() + salt.size()));
    for (char c : salt) b.push_back(static_cast<unsigned char>(c));
    while (b.size() < size) b.push_back(static_cast<unsigned char>(b.size() * 31 + salt.size()));
    return b;
}

HttpClient::HttpClient() : m_curl(curl_easy_init()) {}

HttpClient::~HttpClient() { curl_easy_cleanup(static_cast<CURL*>(m_curl)); }

tagHttpReply HttpClient::Get(const std::string& url, const std::vector<std::string>& headers,
                             bool head) {
    tagHttpReply reply;
    CURL* curl = static_cast<CURL*>(m_curl);
    if (curl == nullptr) return reply;
    curl_slist* list = nullptr;
    for (const std::string& h : headers) list = curl_slist_append(list, h.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_NOBODY, head ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, head ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.Body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, CollectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.Headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    // The bytes as sent: no decoding of Content-Encoding.
    curl_easy_setopt(curl, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    if (curl_easy_perform(curl) == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.Status);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(list);
    return reply;
}

tagHttpReply HttpGet(const std::string& url, const std::vector<std::string>& headers, bool head) {
    HttpClient client;
    return client.Get(url, headers, head);
}

std::string RawExchange(int port, const std::string& request, double seconds, int pauseMs) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return std::string();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string received;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        size_t sent = 0;
        while (sent < request.size()) {
            const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        char buffer[65536];
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = recv(fd, buffer, pauseMs > 0 ? 16384 : sizeof buffer, 0);
            if (n <= 0) break;
            received.append(buffer, static_cast<size_t>(n));
            if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
    }
    close(fd);
    return received;
}

ServeProcess::ServeProcess(const std::vector<std::string>& args) {
    static int counter = 0;
    const std::string file = fs::temp_directory_path().string() + "/tvk-serve-" +
                             std::to_string(getpid()) + "-" + std::to_string(counter++) + ".out";
    m_pid = fork();
    if (m_pid == 0) {
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        std::vector<std::string> all = {TvkPath(), "serve", "--port", "0"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // The first line names the URL with the port the server was given.
    const std::regex url("http://127\\.0\\.0\\.1:([0-9]+)/");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        m_output = text.str();
        std::smatch match;
        if (std::regex_search(m_output, match, url)) {
            m_nPort = std::stoi(match[1]);
            break;
        }
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::remove(file.c_str());
}

ServeProcess::~ServeProcess() { Stop(); }

std::string ServeProcess::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_nPort) + path;
}

int ServeProcess::Stop() {
    if (m_pid <= 0) return -1;
    kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return -1;
}

long ServeProcess::RssKb() const {
    std::ifstream in("/proc/" + std::to_string(m_pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

}  // namespace tvktest
