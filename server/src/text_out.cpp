// Escaping and number output for the server's documents.
#include "text_out.h"

#include <charconv>
#include <cmath>

namespace TVK {
namespace server {

void AppendXml(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
}

void AppendJsonString(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else if (c == '<') {
            // Keeps "</script>" out of JSON embedded in a page.
            out += "\\u003c";
        } else {
            out += c;
        }
    }
    out += '"';
}

void AppendNumber(std::string& out, double value) {
    if (!std::isfinite(value)) value = 0.0;  // JSON and XML have no infinities
    if (value == 0.0) value = 0.0;           // no "-0"
    // Plain decimals for the magnitudes of coordinates and scales (readers
    // of "2e+05" are rarer than of "200000"), exponents beyond them.
    char digits[400];
    const double magnitude = std::fabs(value);
    const bool plain = magnitude == 0.0 || (magnitude >= 1e-6 && magnitude < 1e16);
    const auto end =
        plain ? std::to_chars(digits, digits + sizeof(digits), value, std::chars_format::fixed).ptr
              : std::to_chars(digits, digits + sizeof(digits), value).ptr;
    out.append(digits, end);
}

void AppendInt(std::string& out, long long value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    out.append(digits, end);
}

std::string NumberText(double value) {
    std::string out;
    AppendNumber(out, value);
    return out;
}

}  // namespace server
}  // namespace TVK
