#pragma once

#include <optional>
#include <variant>

#include "photos/photo_library_port.hpp"

namespace vek {

// True when the information marks the asset's data as living only in the
// cloud: the entry is present, is a number, and is not zero.
inline bool isInCloud(const std::optional<InfoDictionary>& info) {
  if (!info) return false;
  auto entry = info->find(kResultIsInCloudKey);
  if (entry == info->end()) return false;
  const double* number = std::get_if<double>(&entry->second);
  return number != nullptr && *number != 0;
}

}  // namespace vek
