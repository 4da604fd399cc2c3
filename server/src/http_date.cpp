// Civil dates from Unix seconds by arithmetic alone (days to year, month,
// day after H. Hinnant's proleptic Gregorian algorithm), so no thread-unsafe
// C time calls and no time zone are involved.
#include "http_date.h"

#include <chrono>
#include <cstring>

namespace TVK {
namespace server {

namespace {

const char kDays[7][4] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};  // 1970-01-01: Thursday
const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct tagCivil {
    int64_t Year;
    int Month, Day, Hour, Minute, Second, Weekday;  // month 1-12, weekday index into kDays
};

tagCivil ToCivil(int64_t t) {
    int64_t days = t / 86400;
    int64_t rest = t % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    tagCivil c;
    c.Hour = static_cast<int>(rest / 3600);
    c.Minute = static_cast<int>(rest % 3600 / 60);
    c.Second = static_cast<int>(rest % 60);
    c.Weekday = static_cast<int>(((days % 7) + 7) % 7);
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    c.Day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    c.Month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    c.Year = yoe + era * 400 + (c.Month <= 2 ? 1 : 0);
    return c;
}

void Put2(char* at, int v) {
    at[0] = static_cast<char>('0' + v / 10);
    at[1] = static_cast<char>('0' + v % 10);
}

void Put4(char* at, int64_t v) {
    if (v < 0 || v > 9999) v = 0;
    for (int i = 3; i >= 0; --i, v /= 10) at[i] = static_cast<char>('0' + v % 10);
}

}  // namespace

void FormatHttpDate(int64_t t, char (&out)[kHttpDateLength]) {
    const tagCivil c = ToCivil(t);
    std::memcpy(out, "Thu, 01 Jan 1970 00:00:00 GMT", kHttpDateLength);
    std::memcpy(out, kDays[c.Weekday], 3);
    Put2(out + 5, c.Day);
    std::memcpy(out + 8, kMonths[c.Month - 1], 3);
    Put4(out + 12, c.Year);
    Put2(out + 17, c.Hour);
    Put2(out + 20, c.Minute);
    Put2(out + 23, c.Second);
}

void FormatLogDate(int64_t t, char (&out)[kLogDateLength]) {
    const tagCivil c = ToCivil(t);
    std::memcpy(out, "[01/Jan/1970:00:00:00 +0000]", kLogDateLength);
    Put2(out + 1, c.Day);
    std::memcpy(out + 4, kMonths[c.Month - 1], 3);
    Put4(out + 8, c.Year);
    Put2(out + 13, c.Hour);
    Put2(out + 16, c.Minute);
    Put2(out + 19, c.Second);
}

int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace server
}  // namespace TVK
