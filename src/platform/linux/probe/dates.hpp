#pragma once

#include <optional>
#include <string_view>

#include "platform/linux/media_files/exif_facts.hpp"

namespace vek::linux_library {

// The creation date of an EXIF date and time ("YYYY:MM:DD HH:MM:SS"), with
// its sub-second digits and its "+HH:MM" offset when given; without an offset
// the time is the machine's local time. nullopt when the date is blank or
// invalid, as cameras with an unset clock write it. Local time is the zone
// that tzset() last loaded.
std::optional<double> exifDateToSeconds(std::string_view dateTime, std::string_view subSeconds,
                                        std::string_view offset);

// The creation date an image's EXIF tags give: the original date with its
// sub-seconds and offset, else the date and time with theirs; nullopt when
// neither is a date.
std::optional<double> exifCreationDate(const ExifFacts& exif);

// The creation date of a container date ("YYYY-MM-DDTHH:MM:SS[.fff]" followed
// by "Z", an offset "+HH:MM", "+HHMM" or "+HH", or nothing for local time, and
// a space in place of 'T'), or nullopt when it is not one.
std::optional<double> containerDateToSeconds(std::string_view text);

}  // namespace vek::linux_library
