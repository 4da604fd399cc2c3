// Value forms of the cache description and ArcGIS configuration files, and
// the element lookups both readers share.
//
// Numbers are written and read independently of the process locale: a
// process that set a comma-decimal LC_NUMERIC must still write "0.5", or the
// file would not read back anywhere else.
#ifndef TVK_STORAGE_CONFIG_VALUES_H
#define TVK_STORAGE_CONFIG_VALUES_H

#include "platform/eGeometry.h"
#include "platform/eMarkup.h"
#include "platform/eString.h"

namespace TVK {
namespace config {

// "%.<decimals>f" in the C locale ("inf", "-inf", "nan" for non-finite values).
eString FormatFixed(double value, int decimals);
// "%.15f", then trailing zeros and one trailing point removed: 256.0 -> "256",
// 100.25 -> "100.25", 0.0 -> "0".
eString FormatTrimmed(double value);
// The shortest fixed-notation text that reads back to the same double, with
// no exponent and no precision lost to a fixed decimal count (1.5e-7 gives
// "0.00000015", 256.0 gives "256"); "inf"/"nan" as FormatFixed.
eString FormatShortest(double value);
// "%d".
eString FormatInt(int value);
// "True" / "False".
const char* FormatBool(bool value);

// Readers. Each returns false when the text holds no number at all (after
// leading white space and one sign, no digit), or for a real, when the value
// is not finite; `value` is then untouched. Otherwise value is what
// eString::ToInt(10) / ToDouble gives (a partly numeric text such as "12px"
// reads as 12, like the base conversion).
bool ParseInt(const eString& text, int& value);
bool ParseDouble(const eString& text, double& value);
// Exactly "True" or "False"; anything else is refused.
bool ParseBool(const eString& text, bool& value);

// Reference resolution of a scheme with `levels` levels: tileSize x 2^levels,
// in double precision so that 31 or more levels do not overflow.
double ReferenceResolution(int tileSize, int levels);
// Folder of a configuration file, with its trailing '/'; "./" for a bare
// file name, so that the cache's root folder is never empty.
eString ConfigFolder(const eString& path);

// Element lookups below the current element of `doc`. Each lookup searches
// the children from the first one, so elements may stand in any order; a
// file listing an element twice is read at its first occurrence.
bool FindChild(eMarkup& doc, const char* name);
// Text of the child `name`; false when there is no such child.
bool ChildText(eMarkup& doc, const char* name, eString& text);
bool ChildInt(eMarkup& doc, const char* name, int& value);
bool ChildDouble(eMarkup& doc, const char* name, double& value);
// Finds the child and enters it (its children become the search level).
bool EnterChild(eMarkup& doc, const char* name);
// The child `name` as a point: its X and Y children over a default point.
// False, with `point` untouched, when there is no such child.
bool ChildPoint(eMarkup& doc, const char* name, ePoint2D& point);
// A rectangle from four children of the current element with the names
// given, each over the default rectangle's value.
eRect2D ReadRect(eMarkup& doc, const char* left, const char* bottom, const char* right,
                 const char* top);

}  // namespace config
}  // namespace TVK

#endif
