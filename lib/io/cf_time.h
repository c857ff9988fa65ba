// Times as CF files write them: a number of units since a reference date,
// "seconds since 2006-01-20T00:50:08Z", on the Gregorian calendar.
#pragma once

#include <optional>
#include <string>

namespace velmora {

// Seconds since 1970-01-01T00:00:00 UTC of value in units ("seconds",
// "minutes", "hours" or "days since DATE[ TIME][Z|UTC]"); none for units of
// another form or a calendar other than the Gregorian one (standard,
// gregorian, proleptic_gregorian, or none given), whose dates would need
// their own arithmetic.
std::optional<double> cf_seconds(const std::string& units, const std::string& calendar, double value);

// Days from 1970-01-01 to y-m-d on the proleptic Gregorian calendar (Howard
// Hinnant's days_from_civil).
long days_from_civil(long y, unsigned m, unsigned d);

// ISO 8601 in UTC, to the second: "2006-01-20T00:50:08Z".
std::string iso_utc(double seconds_since_1970);

}  // namespace velmora
