// Reading one control request line of 1 MiB, in the shapes that cost most:
// the most heap bytes held at once per request byte (beyond the line itself,
// the Request read included), and the time per MiB, each beside a bare
// RapidJSON SAX pass over the same bytes (iterative, same flags, same
// allocator, a handler that keeps nothing), which is the floor for both.
// For the SetConfig lines that are valid, also what the daemon does with them
// before it writes the file: normalise, validate, and carry the status over.
#include <benchmark/benchmark.h>
#include <rapidjson/memorystream.h>

#include <algorithm>
#include <string>

#include "control.hpp"
#include "daemon_state.hpp"
#include "heap_counter.hpp"
#include "json_allocator.hpp"
#include "request_shapes.hpp"
#include "tavi/ipc.hpp"
#include "tavi/validate.hpp"

namespace tavi {
namespace {

using Shape = std::string (*)();

void bare_sax_pass(const std::string& line) {
  rapidjson::MemoryStream stream(line.data(), line.size());
  rapidjson::BaseReaderHandler<> ignore;
  JsonStackAllocator allocator;
  JsonSaxReader reader(&allocator);
  benchmark::DoNotOptimize(reader.Parse<JSON_PARSE_FLAGS>(stream, ignore));
}

void parse(const std::string& line) {
  auto request = parse_request(line);
  benchmark::DoNotOptimize(request);
}

void run(benchmark::State& state, Shape shape, void (*read)(const std::string&)) {
  const std::string line = shape();
  std::size_t peak = 0;
  for (auto _ : state) {
    HeapPeak heap;
    read(line);
    peak = std::max(peak, heap.bytes());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
  state.counters["peak_heap_bytes"] = static_cast<double>(peak);
  state.counters["heap_per_request_byte"] =
      static_cast<double>(peak) / static_cast<double>(line.size());
}

void BM_ParseRequest(benchmark::State& state, Shape shape) { run(state, shape, parse); }
void BM_BareSaxPass(benchmark::State& state, Shape shape) { run(state, shape, bare_sax_pass); }

// The old status list is as long as the new one and shares no fqdn with it,
// so every entry searches the most.
void BM_HandleSetConfig(benchmark::State& state, Shape shape) {
  const std::string line = shape();
  Config previous = std::get<request::SetConfig>(parse_request(line).value()).config;
  previous.domain = "other." + previous.domain;
  const std::vector<ServerStatus> old_status = initial_status(previous);
  for (auto _ : state) {
    auto request = parse_request(line);
    Config config = std::get<request::SetConfig>(std::move(request.value())).config;
    config.domain = normalize_domain(config.domain);
    if (!validate_config(config)) state.SkipWithError("the shape is not a valid configuration");
    benchmark::DoNotOptimize(carry_over_status(old_status, config));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}

#define TAVI_READ(shape) \
  BENCHMARK_CAPTURE(BM_ParseRequest, shape, shape)->Unit(benchmark::kMillisecond)
#define TAVI_SHAPE(shape) \
  TAVI_READ(shape);       \
  BENCHMARK_CAPTURE(BM_BareSaxPass, shape, shape)->Unit(benchmark::kMillisecond)
#define TAVI_VALID_SHAPE(shape) \
  TAVI_SHAPE(shape);            \
  BENCHMARK_CAPTURE(BM_HandleSetConfig, shape, shape)->Unit(benchmark::kMillisecond)

TAVI_SHAPE(request_refused_at_first_byte);
TAVI_SHAPE(set_config_with_flat_array);
TAVI_SHAPE(set_config_with_deep_nest);
TAVI_SHAPE(set_config_with_bad_exponent);
// RapidJSON alone stops at the first number or escape of these: no floor.
TAVI_READ(set_config_with_bare_point);
TAVI_READ(set_config_with_numbers_beyond_a_double);
TAVI_READ(set_config_with_lone_surrogates);
TAVI_VALID_SHAPE(set_config_with_many_servers);
TAVI_VALID_SHAPE(set_config_with_tiny_servers);
TAVI_VALID_SHAPE(set_config_with_many_aliases);

}  // namespace
}  // namespace tavi

BENCHMARK_MAIN();
