#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

#include "protocol/base64.hpp"
#include "protocol/envelopes.hpp"
#include "protocol/request.hpp"

namespace {

std::string deleteLine(size_t identifiers) {
  std::mt19937_64 random(1);
  std::string line = R"({"id":1,"cmd":"delete_assets","localIdentifiers":[)";
  char identifier[64];
  for (size_t i = 0; i < identifiers; ++i) {
    const uint64_t a = random();
    const uint64_t b = random();
    std::snprintf(identifier, sizeof identifier, "%s\"%08X-%04X-%04X-%04X-%012llX/L0/001\"", i == 0 ? "" : ",",
                  unsigned(a >> 32), unsigned(a >> 16) & 0xFFFF, unsigned(a) & 0xFFFF, unsigned(b >> 48),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
    line += identifier;
  }
  line += "]}";
  return line;
}

void BM_DecodeDeleteRequest(benchmark::State& state) {
  const std::string line = deleteLine(200000);
  vek::RequestDecoder decoder;
  for (auto _ : state) {
    auto request = decoder.decode(line);
    if (!request || request->localIdentifiers->size() != 200000) state.SkipWithError("the line did not decode");
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(line.size()));
}
BENCHMARK(BM_DecodeDeleteRequest)->Unit(benchmark::kMillisecond);

void BM_EncodeImageReply(benchmark::State& state) {
  std::mt19937 random(2);
  std::string jpeg(1536 * 1024 * 3 / 4, '\0');
  for (char& byte : jpeg) byte = char(random());
  const vek::SuccessEnvelope<vek::ImageDataResponse> envelope{
      7, {"6F1E2A3B-0C4D-4E5F-8A9B-0C1D2E3F4A5B/L0/001", 1024, 768, vek::base64Encode(jpeg)}};
  for (auto _ : state) {
    std::string reply = vek::encode(envelope);
    benchmark::DoNotOptimize(reply);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(envelope.ok.jpegBase64.size()));
}
BENCHMARK(BM_EncodeImageReply)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
