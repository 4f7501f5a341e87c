#include "json_input_stream.hpp"

#include <gtest/gtest.h>

#include <string>

#include "json_allocator.hpp"

namespace tavi {
namespace {

constexpr std::size_t RUN = 64 * 1024;

std::string run_of(std::string_view head, char repeated, std::string_view tail) {
  std::string text(head);
  text.append(RUN, repeated);
  text.append(tail);
  return text;
}

std::string repeated(std::string_view head, std::string_view unit, std::string_view tail) {
  std::string text(head);
  while (text.size() < RUN) text.append(unit);
  text.append(tail);
  return text;
}

struct Shape {
  std::string name;
  std::string text;
  rapidjson::ParseErrorCode error;
  std::size_t error_offset = 0;
};

// The lexer looks at each byte a bounded number of times, whatever the input
// holds: counting its looks catches a scan that starts again from every byte
// (which costs the square of the length) without timing anything.
TEST(JsonInputStream, LooksAtEachByteOnlyAFewTimes) {
  const std::vector<Shape> shapes = {
      // Text that only starts like a number, over a long run of digits:
      // RapidJSON reads the whole run and stops at its end.
      {"fraction, bad exponent", run_of("0.", '1', "e"), rapidjson::kParseErrorNumberMissExponent,
       RUN + 3},
      {"fraction, bad exponent sign", run_of("[-1.", '1', "E+]"),
       rapidjson::kParseErrorNumberMissExponent, RUN + 6},
      // RapidJSON gives up early on an integer beyond a double; the lexer
      // still meets the whole run.
      {"integer, bare point", run_of("", '1', "."), rapidjson::kParseErrorNumberTooBig, 0},
      {"integer, bad exponent", run_of("[-", '1', "e]"), rapidjson::kParseErrorNumberTooBig, 1},
      // The spots RapidJSON is shown a stand-in for, side by side.
      {"numbers beyond a double", repeated("[", "1e400,-0e999,", "0]"), rapidjson::kParseErrorNone},
      {"exponent of many digits", run_of("0e", '0', ""), rapidjson::kParseErrorNone},
      {"lone high surrogates", repeated("\"", "\\ud800", "\""), rapidjson::kParseErrorNone},
      {"surrogate pairs", repeated("\"", "\\ud800\\udc00", "\""), rapidjson::kParseErrorNone},
      {"deep nest", run_of("", '[', "") + std::string(RUN, ']'), rapidjson::kParseErrorNone},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    JsonInputStream stream(shape.text);
    rapidjson::BaseReaderHandler<> ignore;
    JsonStackAllocator allocator;
    JsonSaxReader reader(&allocator);
    const rapidjson::ParseResult result = reader.Parse<JSON_PARSE_FLAGS>(stream, ignore);
    EXPECT_EQ(result.Code(), shape.error);
    if (result.IsError()) {
      EXPECT_EQ(result.Offset(), shape.error_offset);
    }
    EXPECT_GE(stream.bytes_examined(), RUN);
    EXPECT_LE(stream.bytes_examined(), 3 * shape.text.size());
  }
}

}  // namespace
}  // namespace tavi
