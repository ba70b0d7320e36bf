// Arbitrary bytes as one request line: decoding either refuses the line or
// yields a request whose reply is one line of valid JSON.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <simdjson.h>

#include "protocol/envelopes.hpp"
#include "protocol/request.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vek::RequestDecoder decoder;
  static simdjson::dom::parser checker;
  auto request = decoder.decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!request) return 0;
  std::string reply = vek::encode(vek::ErrorEnvelope{request->id, {"badRequest", request->cmd}});
  if (reply.find('\n') != std::string::npos) __builtin_trap();
  simdjson::dom::element root;
  if (checker.parse(reply).get(root) != simdjson::SUCCESS) __builtin_trap();
  if (uint64_t(root["id"]) != request->id) __builtin_trap();
  if (std::string_view(root["err"]["message"]) != request->cmd) __builtin_trap();
  return 0;
}
