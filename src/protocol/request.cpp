#include "protocol/request.hpp"

#include <simdjson.h>

namespace vek {
namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// Numbers are taken only in their integer form (-0 reads as 0): 7.0 and 7e0
// reach us as doubles and fail the line, so no accepted text can stand for a
// value that a double rounded.
std::optional<uint64_t> wholeUnsigned(element value) {
  if (value.type() == element_type::UINT64) return uint64_t(value);
  if (value.type() == element_type::INT64 && int64_t(value) >= 0) return uint64_t(int64_t(value));
  return std::nullopt;
}

std::optional<int64_t> wholeSigned(element value) {
  if (value.type() == element_type::INT64) return int64_t(value);
  return std::nullopt;
}

// The parser keeps its buffers sized for the largest line so far; one huge
// delete request should not pin that memory for the rest of the run.
constexpr size_t kCapacityKeptBetweenLines = size_t(16) << 20;

}  // namespace

struct RequestDecoder::Parser {
  simdjson::dom::parser parser;
};

RequestDecoder::RequestDecoder() : parser_(std::make_unique<Parser>()) {}
RequestDecoder::~RequestDecoder() = default;

std::optional<Request> RequestDecoder::decode(std::string_view line) {
  // The parser copies the line into a padded buffer of its own, validates
  // UTF-8 and refuses anything but white space after the value.
  element root;
  auto parsed = parser_->parser.parse(line.data(), line.size(), true).get(root);
  std::optional<Request> result;
  if (parsed == simdjson::SUCCESS && root.type() == element_type::OBJECT) {
    Request request;
    bool haveId = false;
    bool haveCmd = false;
    bool valid = true;
    // A key given twice takes its last value, as JSON readers commonly do;
    // every occurrence must still hold a value of the right type.
    for (auto field : simdjson::dom::object(root)) {
      const std::string_view key = field.key;
      const element value = field.value;
      const bool isNull = value.type() == element_type::NULL_VALUE;
      if (key == "id") {
        auto id = wholeUnsigned(value);
        if (!id) valid = false;
        else request.id = *id, haveId = true;
      } else if (key == "cmd") {
        if (value.type() != element_type::STRING) valid = false;
        else request.cmd = std::string(std::string_view(value)), haveCmd = true;
      } else if (key == "kind" || key == "localIdentifier") {
        auto& target = key == "kind" ? request.kind : request.localIdentifier;
        if (isNull) target.reset();
        else if (value.type() == element_type::STRING) target = std::string(std::string_view(value));
        else valid = false;
      } else if (key == "includeIcloudOnly") {
        if (isNull) request.includeIcloudOnly.reset();
        else if (value.type() == element_type::BOOL) request.includeIcloudOnly = bool(value);
        else valid = false;
      } else if (key == "localIdentifiers") {
        if (isNull) {
          request.localIdentifiers.reset();
        } else if (value.type() == element_type::ARRAY) {
          simdjson::dom::array array(value);
          std::vector<std::string> identifiers;
          identifiers.reserve(array.size());
          for (element item : array) {
            if (item.type() != element_type::STRING) {
              valid = false;
              break;
            }
            identifiers.emplace_back(std::string_view(item));
          }
          request.localIdentifiers = std::move(identifiers);
        } else {
          valid = false;
        }
      } else if (key == "targetSize") {
        if (isNull) {
          request.targetSize.reset();
        } else {
          auto size = wholeSigned(value);
          if (!size) valid = false;
          else request.targetSize = *size;
        }
      }
      if (!valid) break;
    }
    if (valid && haveId && haveCmd) result = std::move(request);
  }
  if (parser_->parser.capacity() > kCapacityKeptBetweenLines) parser_->parser = simdjson::dom::parser();
  return result;
}

}  // namespace vek
