#include "qnvrecording/TimeText.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace qnvrec {
namespace {

constexpr int64_t kUsPerSecond = 1000000;

// Floor division, for times before 1970.
void Split(int64_t us, time_t& seconds, int64_t& micros) {
  seconds = time_t(us / kUsPerSecond);
  micros = us % kUsPerSecond;
  if (micros < 0) {
    micros += kUsPerSecond;
    --seconds;
  }
}

bool Digits(std::string_view text, size_t& at, size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  at += count;
  return true;
}

bool Date(std::string_view text, size_t& at, tm& t) {
  int y, m, d;
  if (!Digits(text, at, 4, y) || at >= text.size() || text[at++] != '-' ||
      !Digits(text, at, 2, m) || at >= text.size() || text[at++] != '-' ||
      !Digits(text, at, 2, d)) {
    return false;
  }
  if (m < 1 || m > 12 || d < 1 || d > 31) return false;
  t = tm{};
  t.tm_year = y - 1900;
  t.tm_mon = m - 1;
  t.tm_mday = d;
  return true;
}

// Seconds of a broken-down time read as UTC or as local time. Local times
// are read both as summer and as winter time, so the answer does not hang on
// the C library's guess: a time that exists twice (the hour repeated when
// summer time ends) is its first pass, one that does not exist (skipped when
// it begins) is read an hour later.
bool ToSeconds(const tm& in, bool utc, int64_t& seconds) {
  if (utc) {
    tm t = in;
    errno = 0;
    const time_t s = timegm(&t);
    if (s == time_t(-1) && errno == EOVERFLOW) return false;
    seconds = int64_t(s);
    return true;
  }
  bool found = false, exists = false;
  for (int dst : {1, 0}) {
    tm t = in;
    t.tm_isdst = dst;
    errno = 0;
    const time_t s = mktime(&t);
    if (s == time_t(-1) && errno == EOVERFLOW) continue;
    tm back{};
    localtime_r(&s, &back);
    const bool same = back.tm_hour == in.tm_hour && back.tm_min == in.tm_min &&
                      back.tm_mday == in.tm_mday && back.tm_mon == in.tm_mon;
    if (!found || (same && !exists) || (same && int64_t(s) < seconds) ||
        (!same && !exists && int64_t(s) > seconds)) {
      seconds = int64_t(s);
    }
    found = true;
    exists = exists || same;
  }
  return found;
}

std::string Format(int64_t us, bool utc) {
  time_t seconds;
  int64_t micros;
  Split(us, seconds, micros);
  tm t{};
  if (utc) {
    gmtime_r(&seconds, &t);
  } else {
    localtime_r(&seconds, &t);
  }
  char text[64];
  int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lld", t.tm_year + 1900,
                        t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                        static_cast<long long>(micros));
  if (utc) {
    std::snprintf(text + n, sizeof text - size_t(n), "Z");
  } else {
    const long offset = t.tm_gmtoff / 60;
    const long a = offset < 0 ? -offset : offset;
    std::snprintf(text + n, sizeof text - size_t(n), "%c%02ld:%02ld", offset < 0 ? '-' : '+',
                  a / 60, a % 60);
  }
  return text;
}

bool DaysInMonthOk(const tm& t) {
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int y = t.tm_year + 1900;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return t.tm_mday <= (t.tm_mon == 1 ? (leap ? 29 : 28) : kDays[t.tm_mon]);
}

}  // namespace

std::string UtcText(int64_t us) { return Format(us, true); }
std::string UtcTextMs(int64_t us) {
  std::string text = Format(us, true);
  text.erase(text.size() - 4, 3);  // the last three digits of ".uuuuuuZ"
  return text;
}
std::string LocalText(int64_t us) { return Format(us, false); }

std::string HumanTime(int64_t us, bool utc, bool precise) {
  std::string text = Format(us, utc);  // YYYY-MM-DDTHH:MM:SS.uuuuuu, then the zone
  text[10] = ' ';
  text.resize(precise ? 26 : 19);
  return utc ? text + " UTC" : text;
}

std::string HumanDuration(int64_t us, bool precise) {
  std::string text = us < 0 ? "-" : "";
  const uint64_t magnitude = us < 0 ? 0 - uint64_t(us) : uint64_t(us);
  const uint64_t seconds = magnitude / 1000000, hours = seconds / 3600, minutes = seconds / 60 % 60,
                 rest = seconds % 60;
  if (hours > 0) text += std::to_string(hours) + " h ";
  if (minutes > 0) text += std::to_string(minutes) + " min ";
  if (precise) {
    char ms[16];
    std::snprintf(ms, sizeof ms, ".%03llu",
                  static_cast<unsigned long long>(magnitude / 1000 % 1000));
    text += std::to_string(rest) + ms + " s";
  } else if (rest > 0 || seconds == 0) {
    text += std::to_string(rest) + " s";
  } else {
    text.pop_back();  // the space after the last unit
  }
  return text;
}

std::string DayText(int64_t us, bool utc) { return Format(us, utc).substr(0, 10); }

bool ParseTime(std::string_view text, int64_t& us, std::string& error) {
  std::string quoted = "\"";
  quoted.append(text.substr(0, 64));
  quoted += '"';
  auto fail = [&](const char* what) {
    error = "not an ISO 8601 time: " + quoted + " (" + what +
            "; e.g. 2024-05-01T14:02:00Z, 2024-05-01T16:02:00+02:00 or, in local time, "
            "2024-05-01T14:02:00)";
    return false;
  };
  size_t at = 0;
  tm t{};
  if (!Date(text, at, t)) return fail("the date is not YYYY-MM-DD");
  if (!DaysInMonthOk(t)) return fail("no such day");
  int64_t micros = 0;
  if (at < text.size() && (text[at] == 'T' || text[at] == 't' || text[at] == ' ')) {
    ++at;
    int h, m, s = 0;
    if (!Digits(text, at, 2, h) || at >= text.size() || text[at++] != ':' ||
        !Digits(text, at, 2, m)) {
      return fail("the time is not HH:MM[:SS]");
    }
    if (at < text.size() && text[at] == ':') {
      ++at;
      if (!Digits(text, at, 2, s)) return fail("the seconds are not two digits");
      if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
        ++at;
        int64_t scale = 100000;
        size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
          if (digits++ < 6) {
            micros += int64_t(text[at] - '0') * scale;
            scale /= 10;
          }
          ++at;
        }
        if (digits == 0) return fail("a decimal point without digits");
      }
    }
    if (h > 23 || m > 59 || s > 60) return fail("hour, minute or second out of range");
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
  }
  bool utc = false;
  int64_t offsetSeconds = 0;
  if (at < text.size()) {
    if (text[at] == 'Z' || text[at] == 'z') {
      utc = true;
      ++at;
    } else if (text[at] == '+' || text[at] == '-') {
      const int sign = text[at++] == '-' ? -1 : 1;
      int oh, om = 0;
      if (!Digits(text, at, 2, oh)) return fail("the offset is not +HH:MM");
      if (at < text.size() && text[at] == ':') ++at;
      if (at < text.size() && !Digits(text, at, 2, om)) return fail("the offset is not +HH:MM");
      if (oh > 23 || om > 59) return fail("offset out of range");
      utc = true;
      offsetSeconds = sign * (oh * 3600 + om * 60);
    }
  }
  if (at != text.size()) return fail("unexpected text after the time");
  int64_t seconds;
  if (!ToSeconds(t, utc, seconds)) return fail("out of range");
  us = (seconds - offsetSeconds) * kUsPerSecond + micros;
  return true;
}

bool ParseDay(std::string_view text, bool utc, int64_t& startUs, int64_t& endUs,
              std::string& error) {
  size_t at = 0;
  tm t{};
  if (!Date(text, at, t) || at != text.size() || !DaysInMonthOk(t)) {
    error = "not a day: \"" + std::string(text.substr(0, 64)) + "\" (YYYY-MM-DD)";
    return false;
  }
  tm next = t;
  ++next.tm_mday;
  timegm(&next);  // normalises the fields: the 32nd is the 1st of the next month
  int64_t a, b;
  if (!ToSeconds(t, utc, a) || !ToSeconds(next, utc, b)) {
    error = "day out of range: " + std::string(text.substr(0, 64));
    return false;
  }
  startUs = a * kUsPerSecond;
  endUs = b * kUsPerSecond;
  return true;
}

}  // namespace qnvrec
