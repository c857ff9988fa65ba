#include "io/cf_time.h"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace velmora {

namespace {

void civil_from_days(long z, long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp + (mp < 10 ? 3 : -9);
    y += m <= 2;
}

}  // namespace

// Days from 1970-01-01 to y-m-d on the proleptic Gregorian calendar (Howard
// Hinnant's days_from_civil).
long days_from_civil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

std::optional<double> cf_seconds(const std::string& units, const std::string& calendar, double value) {
    if (!calendar.empty() && calendar != "standard" && calendar != "gregorian" && calendar != "proleptic_gregorian")
        return std::nullopt;
    if (!std::isfinite(value)) return std::nullopt;
    std::istringstream in(units);
    std::string unit, since, rest;
    if (!(in >> unit >> since) || since != "since") return std::nullopt;
    std::getline(in, rest);
    double scale = 0;
    if (unit == "seconds" || unit == "second" || unit == "s" || unit == "secs") scale = 1;
    else if (unit == "minutes" || unit == "minute" || unit == "min" || unit == "mins") scale = 60;
    else if (unit == "hours" || unit == "hour" || unit == "h" || unit == "hr" || unit == "hrs") scale = 3600;
    else if (unit == "days" || unit == "day" || unit == "d") scale = 86400;
    else return std::nullopt;
    // DATE is Y-M-D; the time of day, T or a space apart, is optional, and so
    // are a trailing Z or UTC.
    long y = 0;
    unsigned mo = 0, d = 0, h = 0, mi = 0;
    double s = 0;
    int used = 0;
    const char* text = rest.c_str();
    while (*text == ' ') ++text;
    if (std::sscanf(text, "%ld-%u-%u%n", &y, &mo, &d, &used) != 3) return std::nullopt;
    text += used;
    if (*text == 'T' || *text == ' ') {
        int more = 0;
        if (std::sscanf(text + 1, "%u:%u:%lf%n", &h, &mi, &s, &more) == 3) text += 1 + more;
        else if (std::sscanf(text + 1, "%u:%u%n", &h, &mi, &more) == 2) text += 1 + more;
    }
    while (*text == ' ') ++text;
    const std::string zone = text;
    if (!zone.empty() && zone != "Z" && zone != "UTC" && zone != "+00:00" && zone != "00:00" && zone != "+0000")
        return std::nullopt;   // another zone: left unread rather than read wrong
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 24 || mi > 59 || !(s >= 0 && s < 61)) return std::nullopt;
    return static_cast<double>(days_from_civil(y, mo, d)) * 86400.0 + h * 3600.0 + mi * 60.0 + s + value * scale;
}

std::string iso_utc(double t) {
    const double whole = std::floor(t + 0.5);
    const auto days = static_cast<long>(std::floor(whole / 86400.0));
    const auto secs = static_cast<long>(whole - static_cast<double>(days) * 86400.0);
    long y = 0;
    unsigned m = 0, d = 0;
    civil_from_days(days, y, m, d);
    char out[96];   // room for any year a double may hold
    std::snprintf(out, sizeof out, "%04ld-%02u-%02uT%02ld:%02ld:%02ldZ", y, m, d, secs / 3600, secs / 60 % 60, secs % 60);
    return out;
}

}  // namespace velmora
