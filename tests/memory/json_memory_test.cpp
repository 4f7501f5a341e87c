// What reading a control request of 1 MiB holds on the heap at most, beyond
// the line itself: a few KiB for a line wrong at its first byte or a flat
// array in an unknown member, and for a deep nest no more than RapidJSON's
// own nesting stack, measured by a bare RapidJSON pass over the same bytes.
#include <gtest/gtest.h>
#include <rapidjson/memorystream.h>

#include <functional>

#include "heap_counter.hpp"
#include "json_allocator.hpp"
#include "request_shapes.hpp"
#include "tavi/config.hpp"
#include "tavi/ipc.hpp"

namespace tavi {
namespace {

constexpr std::size_t FEW_KIB = 10 * 1024;

std::size_t peak_heap_of(const std::function<void()>& work) {
  const HeapPeak heap;
  work();
  return heap.bytes();
}

// RapidJSON alone, as our reader runs it, with a handler that keeps nothing.
std::size_t bare_rapidjson_peak(const std::string& text) {
  return peak_heap_of([&] {
    rapidjson::MemoryStream stream(text.data(), text.size());
    rapidjson::BaseReaderHandler<> ignore;
    JsonStackAllocator allocator;
    JsonSaxReader reader(&allocator);
    EXPECT_FALSE(reader.Parse<JSON_PARSE_FLAGS>(stream, ignore).IsError());
  });
}

TEST(JsonReadingMemory, ALineWrongAtItsFirstByteStopsThere) {
  const std::string line = request_refused_at_first_byte();
  const std::size_t peak = peak_heap_of([&] { EXPECT_FALSE(parse_request(line)); });
  EXPECT_LT(peak, FEW_KIB);
}

TEST(JsonReadingMemory, AFlatArrayInAnUnknownMemberCostsAFewKib) {
  const std::string line = set_config_with_flat_array();
  const std::size_t peak = peak_heap_of([&] {
    auto request = parse_request(line);
    EXPECT_TRUE(request) << request.error();
  });
  EXPECT_LT(peak, FEW_KIB);
}

TEST(JsonReadingMemory, ADeepNestInAnUnknownMemberCostsRapidJsonsStackAlone) {
  const std::string line = set_config_with_deep_nest();
  const std::size_t floor = bare_rapidjson_peak(line);
  const std::size_t peak = peak_heap_of([&] {
    auto request = parse_request(line);
    EXPECT_TRUE(request) << request.error();
  });
  EXPECT_GT(floor, line.size());  // the floor is real: RapidJSON's stack holds every level
  EXPECT_LT(peak, floor + FEW_KIB);

  // The configuration file's reader is the same.
  const std::string document = R"({"domain":"d","servers":[],"x":)" + std::string(500'000, '[') +
                               std::string(500'000, ']') + "}";
  const std::size_t file_floor = bare_rapidjson_peak(document);
  EXPECT_LT(peak_heap_of([&] { EXPECT_TRUE(parse_config(document)); }), file_floor + FEW_KIB);
}

}  // namespace
}  // namespace tavi
