// Times as people and scripts write them: ISO 8601 text to and from UTC
// microseconds since 1970. Text with Z or an offset means that instant; text
// without a zone is the machine's local time (TZ): in the hour a
// daylight-saving change repeats, its first pass; a time the change skips,
// an hour later. Plain functions; any thread.
#ifndef QNVRECORDING_TIMETEXT_H
#define QNVRECORDING_TIMETEXT_H

#include <cstdint>
#include <string>
#include <string_view>

namespace qnvrec {

// 2024-05-01T14:02:03.123456Z
std::string UtcText(int64_t us);
// 2024-05-01T14:02:03.123Z (milliseconds, cut rather than rounded)
std::string UtcTextMs(int64_t us);
// 2024-05-01T16:02:03.123456+02:00, in the machine's local time.
std::string LocalText(int64_t us);

// For people rather than scripts: 2024-05-01 16:02:03 in the machine's
// local time, or 2024-05-01 14:02:03 UTC; precise adds the microseconds
// (16:02:03.123456). Whole seconds are cut, not rounded.
std::string HumanTime(int64_t us, bool utc, bool precise);
// A length of time for people: "21 h 54 min 45 s", units that are 0 left
// out ("1 h 5 s"), "0 s" for none; precise gives the seconds' milliseconds
// ("45.753 s"). Whole seconds are cut, not rounded.
std::string HumanDuration(int64_t us, bool precise);

// YYYY-MM-DD[(T| )HH:MM[:SS[.fraction]]][Z|+HH:MM|-HH:MM|+HHMM|+HH]; a date
// alone is its midnight. False with a message naming what is wrong.
bool ParseTime(std::string_view text, int64_t& us, std::string& error);

// The day YYYY-MM-DD as [startUs, endUs): local midnight to the next local
// midnight (23 or 25 hours across a daylight-saving change), or UTC.
bool ParseDay(std::string_view text, bool utc, int64_t& startUs, int64_t& endUs,
              std::string& error);

// The day (YYYY-MM-DD) a time falls in, local or UTC.
std::string DayText(int64_t us, bool utc);

}  // namespace qnvrec

#endif  // QNVRECORDING_TIMETEXT_H
