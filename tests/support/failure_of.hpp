#pragma once

#include <functional>
#include <string>

#include "protocol/helper_error.hpp"

namespace vek {

// "<wire code>: <message>" of the HelperError that `run` throws, or
// "no failure".
inline std::string failureOf(const std::function<void()>& run) {
  try {
    run();
  } catch (const HelperError& error) {
    return std::string(error.wireCode()) + ": " + error.message();
  }
  return "no failure";
}

}  // namespace vek
