#pragma once

#include <string>
#include <string_view>

namespace vek {

// Standard Base64 (RFC 4648 alphabet, "=" padding) without line breaks.
std::string base64Encode(std::string_view bytes);

}  // namespace vek
