// eString conversions and helpers. Everything here is locale-independent:
// numbers in configuration files are written with '.' whatever the process
// locale says, and letter case is ASCII only.
#include "platform/eString.h"

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <vector>

namespace TVK {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Value of c as a digit, or 99 when c is no digit at all.
int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

}  // namespace

eString::eString(const char* text) {
    if (text != nullptr) m_str = text;
}

eString::eString(const char* text, eInt length) {
    if (text != nullptr && length > 0) m_str.assign(text, static_cast<size_t>(length));
}

eString::eString(const std::string& text) : m_str(text) {}

eString::eString(std::string&& text) noexcept : m_str(std::move(text)) {}

eString& eString::Format(const char* fmt, ...) {
    if (fmt == nullptr) {
        m_str.clear();
        return *this;
    }
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    char small[256];
    const int needed = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    if (needed < 0) {
        m_str.clear();
    } else if (static_cast<size_t>(needed) < sizeof small) {
        m_str.assign(small, static_cast<size_t>(needed));
    } else {
        std::vector<char> big(static_cast<size_t>(needed) + 1);
        std::vsnprintf(big.data(), big.size(), fmt, copy);
        m_str.assign(big.data(), static_cast<size_t>(needed));
    }
    va_end(copy);
    return *this;
}

eInt eString::ToInt(int radix) const {
    if (radix < 2 || radix > 36) return 0;
    const char* p = m_str.c_str();
    while (IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    if (radix == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2]) < 16) p += 2;
    // Accumulate the magnitude and stop growing once it is past any int32.
    const int64_t limit = static_cast<int64_t>(std::numeric_limits<eInt>::max()) + 1;
    int64_t magnitude = 0;
    for (int d; (d = DigitValue(*p)) < radix; ++p) {
        magnitude = magnitude * radix + d;
        if (magnitude > limit) magnitude = limit;
    }
    if (negative) return static_cast<eInt>(-magnitude);  // -2^31 at most
    return magnitude >= limit ? std::numeric_limits<eInt>::max() : static_cast<eInt>(magnitude);
}

double eString::ToDouble() const {
    const char* p = m_str.c_str();
    const char* end = p + m_str.size();
    while (p < end && IsSpace(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = (*p == '-');
        ++p;
        // from_chars takes no sign of its own beyond one '-', so "+-1" or "--1" is no number.
        if (p < end && (*p == '+' || *p == '-')) return 0.0;
    }
    double value = 0.0;
    const auto result = std::from_chars(p, end, value, std::chars_format::general);
    if (result.ec == std::errc::invalid_argument) return 0.0;
    if (result.ec == std::errc::result_out_of_range) {
        // Keep strtod's answer for magnitudes the type cannot hold.
        const bool tiny = [&] {
            for (const char* q = p; q < result.ptr; ++q) {
                if (*q == 'e' || *q == 'E') return q + 1 < result.ptr && q[1] == '-';
            }
            return false;
        }();
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    }
    return negative ? -value : value;
}

eString& eString::TrimRight(char ch) {
    const size_t keep = m_str.find_last_not_of(ch);
    m_str.erase(keep == std::string::npos ? 0 : keep + 1);
    return *this;
}

eString& eString::MakeLower() {
    std::transform(m_str.begin(), m_str.end(), m_str.begin(), ToLowerAscii);
    return *this;
}

eString& eString::MakeUpper() {
    std::transform(m_str.begin(), m_str.end(), m_str.begin(), ToUpperAscii);
    return *this;
}

int eString::CompareNoCase(const eString& other) const {
    const size_t n = std::min(m_str.size(), other.m_str.size());
    for (size_t i = 0; i < n; ++i) {
        const auto a = static_cast<unsigned char>(ToLowerAscii(m_str[i]));
        const auto b = static_cast<unsigned char>(ToLowerAscii(other.m_str[i]));
        if (a != b) return a < b ? -1 : 1;
    }
    if (m_str.size() == other.m_str.size()) return 0;
    return m_str.size() < other.m_str.size() ? -1 : 1;
}

eInt eString::Find(const char* what, eInt start) const {
    if (what == nullptr || start < 0 || static_cast<size_t>(start) > m_str.size()) return -1;
    const size_t at = m_str.find(what, static_cast<size_t>(start));
    return at == std::string::npos ? -1 : static_cast<eInt>(at);
}

eInt eString::ReverseFind(char ch) const {
    const size_t at = m_str.rfind(ch);
    return at == std::string::npos ? -1 : static_cast<eInt>(at);
}

eString eString::Left(eInt count) const {
    if (count <= 0) return eString();
    return eString(m_str.substr(0, static_cast<size_t>(count)));
}

eString eString::Mid(eInt start, eInt count) const {
    if (start < 0) start = 0;
    if (static_cast<size_t>(start) >= m_str.size()) return eString();
    if (count < 0) return eString(m_str.substr(static_cast<size_t>(start)));
    return eString(m_str.substr(static_cast<size_t>(start), static_cast<size_t>(count)));
}

uint32_t eStringEx::HashVal() const {
    uint32_t h = 2166136261u;  // FNV-1a 32-bit offset basis
    for (const char c : Std()) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;  // FNV 32-bit prime
    }
    return h;
}

}  // namespace TVK
