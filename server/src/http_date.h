// Dates the server writes: the Date header (IMF-fixdate, "Sun, 06 Nov 1994
// 08:49:37 GMT") and the access log's "[06/Nov/1994:08:49:37 +0000]", both
// in UTC, from seconds since 1970.
#ifndef TVK_SERVER_HTTP_DATE_H
#define TVK_SERVER_HTTP_DATE_H

#include <cstdint>
#include <string>

namespace TVK {
namespace server {

constexpr size_t kHttpDateLength = 29;
constexpr size_t kLogDateLength = 28;

void FormatHttpDate(int64_t unixSeconds, char (&out)[kHttpDateLength]);
void FormatLogDate(int64_t unixSeconds, char (&out)[kLogDateLength]);
// Seconds since 1970 now.
int64_t UnixNow();

}  // namespace server
}  // namespace TVK

#endif
