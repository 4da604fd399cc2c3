// Error reporting and the small text parsers shared by the subcommands.
#include <charconv>
#include <cmath>
#include <cstdio>

#include "cli.h"

namespace TVK {
namespace cli {

namespace {
thread_local eFailCapture* t_pCapture = nullptr;
}  // namespace

int Fail(int code, const std::string& subject, const std::string& reason, eFailKind kind) {
    if (t_pCapture != nullptr)
        t_pCapture->Add(code, subject + ": " + reason, kind);
    else
        std::fprintf(stderr, "tvk: %s: %s\n", subject.c_str(), reason.c_str());
    return code;
}

// Captures nest: the innermost one alive takes the messages.
eFailCapture::eFailCapture() : m_pOuter(t_pCapture) { t_pCapture = this; }
eFailCapture::~eFailCapture() { t_pCapture = m_pOuter; }

void eFailCapture::Add(int code, const std::string& text, eFailKind kind) {
    if (m_nCount++ == 0) {
        m_nCode = code;
        m_emKind = kind;
    }
    if (m_Messages.size() < kMaxMessages) m_Messages.push_back(text);
}

std::string eFailCapture::Text() const {
    std::string text;
    for (const std::string& m : m_Messages) text += (text.empty() ? "" : "\n") + m;
    const int64_t more = m_nCount - static_cast<int64_t>(m_Messages.size());
    if (more > 0) text += "\n... and " + std::to_string(more) + " more";
    return text;
}

void AddCacheArgument(CLI::App* sub, std::string& cache) {
    sub->add_option("CACHE", cache,
                    "Cache description file, ArcGIS conf.xml, or a folder holding one")
        ->required();
}

namespace {

// Whole text as one number, nothing before or after it.
bool ParseDouble(const std::string& text, double& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin < end && *begin == ' ') ++begin;
    if (begin < end && *begin == '+') ++begin;
    const auto result = std::from_chars(begin, end, value);
    return result.ec == std::errc() && result.ptr == end && std::isfinite(value);
}

bool ParseInt(const std::string& text, int& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    const auto result = std::from_chars(begin, end, value);
    return result.ec == std::errc() && result.ptr == end && begin != end;
}

}  // namespace

bool ParseLevelRange(const std::string& text, int& first, int& last) {
    // A leading '-' would be a negative level, which no cache has.
    const auto dash = text.find('-');
    if (dash == std::string::npos) {
        if (!ParseInt(text, first) || first < 0) return false;
        last = first;
        return true;
    }
    return ParseInt(text.substr(0, dash), first) && ParseInt(text.substr(dash + 1), last) &&
           first >= 0 && first <= last;
}

bool ParseBox(const std::string& text, eRect2D& rect) {
    double v[4];
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t comma = text.find(',', start);
        if ((i < 3) != (comma != std::string::npos)) return false;
        const std::string part =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!ParseDouble(part, v[i])) return false;
        start = comma + 1;
    }
    if (!(v[0] < v[2]) || !(v[1] < v[3])) return false;
    rect = eRect2D(v[0], v[3], v[2], v[1]);
    return true;
}

bool IsTerminal(int stream) { return eFile::IsTerminal(stream); }

bool LonLatBoxToMap(const ePrjCoordSys& prj, const eRect2D& lonlat, eRect2D& map) {
    // 16 steps per edge follow the curve of a conic or transverse edge
    // closely enough for picking tiles.
    constexpr int kSteps = 16;
    std::vector<ePoint2D> points;
    for (int i = 0; i <= kSteps; ++i) {
        const double fx = lonlat.left + (lonlat.right - lonlat.left) * i / kSteps;
        const double fy = lonlat.bottom + (lonlat.top - lonlat.bottom) * i / kSteps;
        points.emplace_back(fx, lonlat.bottom);
        points.emplace_back(fx, lonlat.top);
        points.emplace_back(lonlat.left, fy);
        points.emplace_back(lonlat.right, fy);
    }
    if (!prj.Forward(points.data(), static_cast<int>(points.size()))) return false;
    map = eRect2D(points[0].x, points[0].y, points[0].x, points[0].y);
    for (const ePoint2D& p : points) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
        map.left = std::min(map.left, p.x);
        map.right = std::max(map.right, p.x);
        map.top = std::max(map.top, p.y);
        map.bottom = std::min(map.bottom, p.y);
    }
    return map.left < map.right && map.bottom < map.top;
}

}  // namespace cli
}  // namespace TVK
