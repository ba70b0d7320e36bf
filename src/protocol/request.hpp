#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vek {

// One decoded request line. Optional fields keep absence (or JSON null)
// apart from every real value.
struct Request {
  uint64_t id = 0;
  std::string cmd;
  std::optional<std::string> kind;
  std::optional<bool> includeIcloudOnly;
  std::optional<std::string> localIdentifier;
  std::optional<std::vector<std::string>> localIdentifiers;
  std::optional<int64_t> targetSize;

  bool operator==(const Request&) const = default;
};

// Decodes request lines. One decoder serves the whole run; it keeps parser
// buffers between lines, so it is not for use from two threads at once.
class RequestDecoder {
 public:
  RequestDecoder();
  ~RequestDecoder();
  RequestDecoder(const RequestDecoder&) = delete;
  RequestDecoder& operator=(const RequestDecoder&) = delete;

  // The request held by `line` (without its 0x0A), or nullopt when the line
  // is not valid UTF-8 JSON, not an object, or breaks a field's type rule.
  std::optional<Request> decode(std::string_view line);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

}  // namespace vek
