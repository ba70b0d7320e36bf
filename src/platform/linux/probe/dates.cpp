#include "platform/linux/probe/dates.hpp"

#include <ctime>

namespace vek::linux_library {
namespace {

class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[pos_]; }

  bool number(int digits, int& value) {
    if (pos_ + digits > text_.size()) return false;
    value = 0;
    for (int i = 0; i < digits; ++i) {
      char c = text_[pos_ + i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    pos_ += digits;
    return true;
  }

  bool oneOf(std::string_view choices) {
    if (atEnd() || choices.find(text_[pos_]) == std::string_view::npos) return false;
    ++pos_;
    return true;
  }

  void skipSpaces() {
    while (peek() == ' ') ++pos_;
  }

  // A decimal fraction from the digits here: "0532" is 0.0532.
  double fraction() {
    double value = 0;
    double scale = 0.1;
    while (peek() >= '0' && peek() <= '9') {
      value += (text_[pos_++] - '0') * scale;
      scale /= 10;
    }
    return value;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

struct CivilTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

bool readCivilTime(Cursor& in, std::string_view dateSeparators, CivilTime& time) {
  return in.number(4, time.year) && in.oneOf(dateSeparators) && in.number(2, time.month) &&
         in.oneOf(dateSeparators) && in.number(2, time.day) && in.oneOf(" T") && in.number(2, time.hour) &&
         in.oneOf(":") && in.number(2, time.minute) && in.oneOf(":") && in.number(2, time.second) &&
         time.year >= 1 && time.month >= 1 && time.month <= 12 && time.day >= 1 && time.day <= 31 &&
         time.hour <= 23 && time.minute <= 59 && time.second <= 60;
}

// "Z", "+HH:MM", "+HHMM" or "+HH" as seconds east of UTC; nothing for text
// that is not a zone.
std::optional<int> readZone(Cursor& in) {
  if (in.oneOf("Zz")) return 0;
  char sign = in.peek();
  if (!in.oneOf("+-")) return std::nullopt;
  int hours = 0;
  int minutes = 0;
  if (!in.number(2, hours)) return std::nullopt;
  if (!in.atEnd()) {
    in.oneOf(":");
    if (!in.number(2, minutes)) return std::nullopt;
  }
  if (hours > 23 || minutes > 59) return std::nullopt;
  int seconds = hours * 3600 + minutes * 60;
  return sign == '-' ? -seconds : seconds;
}

// mktime() would do, but glibc re-reads the zone file on every call, under a
// process-wide lock; localtime_r() keeps the zone tzset() last loaded.
double localToSeconds(std::tm fields) {
  time_t asIfUtc = timegm(&fields);
  std::tm local{};
  if (localtime_r(&asIfUtc, &local) == nullptr) return static_cast<double>(asIfUtc);
  // The offset at the first guess can differ from the one at the instant
  // itself when a daylight saving change lies between them.
  time_t guess = asIfUtc - local.tm_gmtoff;
  if (localtime_r(&guess, &local) == nullptr) return static_cast<double>(guess);
  return static_cast<double>(asIfUtc - local.tm_gmtoff);
}

double toSeconds(const CivilTime& time, double fraction, std::optional<int> zoneSeconds) {
  std::tm fields{};
  fields.tm_year = time.year - 1900;
  fields.tm_mon = time.month - 1;
  fields.tm_mday = time.day;
  fields.tm_hour = time.hour;
  fields.tm_min = time.minute;
  fields.tm_sec = time.second;
  if (zoneSeconds) return static_cast<double>(timegm(&fields)) - *zoneSeconds + fraction;
  return localToSeconds(fields) + fraction;
}

}  // namespace

std::optional<double> exifDateToSeconds(std::string_view dateTime, std::string_view subSeconds,
                                        std::string_view offset) {
  Cursor in(dateTime);
  CivilTime time;
  if (!readCivilTime(in, ":-", time)) return std::nullopt;
  Cursor sub(subSeconds);
  sub.skipSpaces();
  double fraction = sub.fraction();
  Cursor zone(offset);
  zone.skipSpaces();
  std::optional<int> zoneSeconds = readZone(zone);
  return toSeconds(time, fraction, zoneSeconds);
}

std::optional<double> containerDateToSeconds(std::string_view text) {
  Cursor in(text);
  in.skipSpaces();
  CivilTime time;
  if (!readCivilTime(in, "-", time)) return std::nullopt;
  double fraction = in.oneOf(".,") ? in.fraction() : 0;
  in.skipSpaces();
  return toSeconds(time, fraction, readZone(in));
}

std::optional<double> exifCreationDate(const ExifFacts& exif) {
  if (auto date = exifDateToSeconds(exif.dateTimeOriginal, exif.subSecTimeOriginal, exif.offsetTimeOriginal)) {
    return date;
  }
  return exifDateToSeconds(exif.dateTime, exif.subSecTime, exif.offsetTime);
}

}  // namespace vek::linux_library
