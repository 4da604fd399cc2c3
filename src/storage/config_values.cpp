// Locale-independent number texts for the description files: std::to_chars
// and eString::ToInt/ToDouble never consult LC_NUMERIC, unlike printf.
#include "storage/config_values.h"

#include <charconv>
#include <cmath>

#include "platform/eFile.h"

namespace TVK {
namespace config {

namespace {

// Largest double in fixed notation: 309 integer digits, a sign, a point and
// up to 30 decimals.
constexpr int kMaxDecimals = 30;
constexpr size_t kFixedBufferSize = 400;

bool IsSpace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v';
}

// The start of the number of a text: after white space and one sign, the
// first character must be a digit, or a point followed by a digit.
bool HasDigits(const eString& text) {
    const char* p = text.Cstr();
    while (IsSpace(*p)) ++p;
    if (*p == '+' || *p == '-') ++p;
    if (*p >= '0' && *p <= '9') return true;
    return *p == '.' && p[1] >= '0' && p[1] <= '9';
}

}  // namespace

eString FormatFixed(double value, int decimals) {
    if (decimals < 0) decimals = 0;
    if (decimals > kMaxDecimals) decimals = kMaxDecimals;
    if (std::isnan(value)) return eString(std::signbit(value) ? "-nan" : "nan");
    if (std::isinf(value)) return eString(value < 0 ? "-inf" : "inf");
    char buffer[kFixedBufferSize];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) return eString("0");  // cannot happen with the buffer sized above
    return eString(buffer, static_cast<eInt>(result.ptr - buffer));
}

eString FormatTrimmed(double value) {
    eString text = FormatFixed(value, 15);
    if (text.Find(".") < 0) return text;
    text.TrimRight('0');
    if (text.GetLength() > 0 && text.GetAt(text.GetLength() - 1) == '.')
        text = text.Left(text.GetLength() - 1);
    return text;
}

eString FormatShortest(double value) {
    if (!std::isfinite(value)) return FormatFixed(value, 0);
    char buffer[kFixedBufferSize];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (result.ec != std::errc())
        return FormatFixed(value, kMaxDecimals);  // cannot happen with the buffer sized above
    return eString(buffer, static_cast<eInt>(result.ptr - buffer));
}

eString FormatInt(int value) {
    char buffer[16];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return eString(buffer, static_cast<eInt>(result.ptr - buffer));
}

const char* FormatBool(bool value) { return value ? "True" : "False"; }

bool ParseInt(const eString& text, int& value) {
    if (!HasDigits(text)) return false;
    value = text.ToInt(10);
    return true;
}

bool ParseDouble(const eString& text, double& value) {
    if (!HasDigits(text)) return false;
    const double parsed = text.ToDouble();
    if (!std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

bool ParseBool(const eString& text, bool& value) {
    if (text == eString("True")) {
        value = true;
        return true;
    }
    if (text == eString("False")) {
        value = false;
        return true;
    }
    return false;
}

double ReferenceResolution(int tileSize, int levels) {
    return static_cast<double>(tileSize) * std::ldexp(1.0, levels);
}

eString ConfigFolder(const eString& path) {
    const eString folder = eFile::GetDir(path);
    return folder.IsEmpty() ? eString("./") : folder;
}

bool FindChild(eMarkup& doc, const char* name) {
    doc.ResetChildPos();
    return doc.FindChildElem(name);
}

bool ChildText(eMarkup& doc, const char* name, eString& text) {
    if (!FindChild(doc, name)) return false;
    text = doc.GetChildData();
    return true;
}

bool ChildInt(eMarkup& doc, const char* name, int& value) {
    eString text;
    return ChildText(doc, name, text) && ParseInt(text, value);
}

bool ChildDouble(eMarkup& doc, const char* name, double& value) {
    eString text;
    return ChildText(doc, name, text) && ParseDouble(text, value);
}

bool EnterChild(eMarkup& doc, const char* name) { return FindChild(doc, name) && doc.IntoElem(); }

bool ChildPoint(eMarkup& doc, const char* name, ePoint2D& point) {
    if (!EnterChild(doc, name)) return false;
    ePoint2D read;
    ChildDouble(doc, "X", read.x);
    ChildDouble(doc, "Y", read.y);
    doc.OutOfElem();
    point = read;
    return true;
}

eRect2D ReadRect(eMarkup& doc, const char* left, const char* bottom, const char* right,
                 const char* top) {
    eRect2D rect;
    ChildDouble(doc, left, rect.left);
    ChildDouble(doc, bottom, rect.bottom);
    ChildDouble(doc, right, rect.right);
    ChildDouble(doc, top, rect.top);
    return rect;
}

}  // namespace config
}  // namespace TVK
