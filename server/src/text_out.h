// Small text builders shared by the documents the server writes: escaping
// for XML, JSON and HTML, and numbers written without locale and with every
// digit a reader needs to get the same double back.
#ifndef TVK_SERVER_TEXT_OUT_H
#define TVK_SERVER_TEXT_OUT_H

#include <string>
#include <string_view>

namespace TVK {
namespace server {

// Escapes &, <, >, " and ' (valid in XML text, attributes and HTML).
void AppendXml(std::string& out, std::string_view text);
// A JSON string with its quotes; control characters as \u00XX.
void AppendJsonString(std::string& out, std::string_view text);
// Shortest text that reads back as the same double ("0.5", "-20037508.342789244").
void AppendNumber(std::string& out, double value);
void AppendInt(std::string& out, long long value);
std::string NumberText(double value);

}  // namespace server
}  // namespace TVK

#endif
