// The input stream RapidJSON reads our JSON from.
//
// RapidJSON refuses two kinds of well-formed JSON outright, even inside a
// value that is only skipped: a number beyond the range of a double (1e400,
// and 0e400 for its exponent alone) and the escape of a high surrogate with no
// low one after it. This stream shows RapidJSON the input bytes as they are,
// except at those two spots, where it shows an accepted stand-in of the same
// length, so every offset holds:
//   - a number RapidJSON would refuse reads as a zero ("0e000..."); its literal
//     stays available (rewritten_number_ending_at) for whoever describes it;
//   - the four digits of a lone high surrogate read "dfff", a lone low
//     surrogate, whose decoded bytes are still not UTF-8, so a field refuses
//     it just the same.
// Once one such spot was passed, every high surrogate escape without a low one
// after it is shown as "dfff", also where RapidJSON would have failed on a
// broken escape after it: RapidJSON's errors stay where they always were.
//
// The spots are found by a small lexer that runs a little ahead of RapidJSON
// over the original bytes, so nothing is copied and nothing is looked at far
// beyond where RapidJSON stopped. It looks at each byte at most a few times,
// so reading takes time in proportion to the input whatever it holds.
#pragma once

#include <cstddef>
#include <string_view>

namespace tavi {

class JsonInputStream {
 public:
  using Ch = char;

  explicit JsonInputStream(std::string_view input) : input_(input) {}

  // RapidJSON's stream concept: '\0' at the end.
  Ch Peek() { return position_ < plain_end_ ? input_[position_] : peek_slow(); }
  Ch Take() {
    const Ch c = Peek();
    if (position_ < input_.size()) ++position_;
    return c;
  }
  std::size_t Tell() const { return position_; }
  // Only in-situ parsing writes to its stream; we never ask for it.
  Ch* PutBegin();
  void Put(Ch);
  void Flush();
  std::size_t PutEnd(Ch*);

  // Bytes the lexer has looked at so far, each look counted; for the tests
  // that prove reading linear without timing it.
  std::size_t bytes_examined() const { return bytes_examined_; }

  // The literal of a number shown as a stand-in whose last byte ends just
  // before `end`, or an empty view.
  std::string_view rewritten_number_ending_at(std::size_t end) const {
    return end == passed_number_end_
               ? input_.substr(passed_number_begin_, end - passed_number_begin_)
               : std::string_view();
  }

 private:
  enum class Spot { None, Number, Surrogate };

  Ch peek_slow();
  // Lexes from `scanned_` on, at least up to `limit`, stopping at the next spot.
  void lex(std::size_t limit);
  void lex_escape(std::size_t& i);
  void lex_number(std::size_t& i);

  std::string_view input_;
  std::size_t position_ = 0;
  // Bytes from position_ up to here are shown unchanged.
  std::size_t plain_end_ = 0;
  // Where the lexer is, and whether it is inside a string there.
  std::size_t scanned_ = 0;
  bool in_string_ = false;
  // Whether a stand-in was shown already.
  bool tamed_ = false;
  // The spot found next: [spot_begin_, spot_end_) shows a stand-in.
  Spot spot_ = Spot::None;
  std::size_t spot_begin_ = 0;
  std::size_t spot_end_ = 0;
  std::size_t spot_literal_begin_ = 0;
  // The last number shown as a stand-in that RapidJSON has read past.
  std::size_t passed_number_begin_ = 0;
  std::size_t passed_number_end_ = static_cast<std::size_t>(-1);
  std::size_t bytes_examined_ = 0;
};

}  // namespace tavi
