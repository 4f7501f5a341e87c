// Turns at the control port's few long slots. Short lines and replies cost a
// connection little and are served at once, however many connections there
// are; a line that grows past LONG_REQUEST_LINE, or a reply larger than that,
// is read, parsed, built and written only while it holds one of LONG_TURNS
// slots, so what the control port spends on memory stays bounded.
//
// The slot count sits behind the pool's own mutex (ThreadSlots); a LongTurn
// belongs to one connection thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <utility>

#include "tavi/thread.hpp"

namespace tavi {

// Lines and replies longer than this need a long slot.
inline constexpr std::size_t LONG_REQUEST_LINE = 16'384;
// Long lines and replies handled at once.
inline constexpr std::size_t LONG_TURNS = 4;
// Longest wait for a free long slot; a connection that gets none by then is
// closed without a reply.
inline constexpr std::chrono::milliseconds LONG_TURN_WAIT{10'000};
// Longest time from a connection thread's start until its line is complete:
// a client that sends a byte just within every receive limit still cannot
// hold its thread for longer.
inline constexpr std::chrono::milliseconds LINE_READ_LIMIT{10'000};
// Longest time from taking a slot for a long line until the line is complete,
// in place of LINE_READ_LIMIT, which the wait for the slot may have used up.
inline constexpr std::chrono::milliseconds LONG_LINE_READ_LIMIT{10'000};
// Longest time a reply may take to be written; what is not out by then is
// dropped with the connection.
inline constexpr std::chrono::milliseconds REPLY_WRITE_LIMIT{10'000};

// The slots one accept loop's connections share, and the time limits of every
// connection. Copies share the slots.
struct LongTurns {
  ThreadSlots slots{LONG_TURNS};
  std::chrono::milliseconds wait = LONG_TURN_WAIT;
  std::chrono::milliseconds line_limit = LINE_READ_LIMIT;
  std::chrono::milliseconds read_limit = LONG_LINE_READ_LIMIT;
  std::chrono::milliseconds write_limit = REPLY_WRITE_LIMIT;
};

// One connection's claim on a long slot: taken at most once, when its line or
// its reply first turns out long, and kept until released or the connection
// ends.
class LongTurn {
 public:
  explicit LongTurn(LongTurns turns) : turns_(std::move(turns)) {}

  // Whether a slot is held: one already held, or one that came free within
  // the wait.
  bool take();
  bool held() const { return slot_.has_value(); }
  void release() { slot_.reset(); }

  const LongTurns& limits() const { return turns_; }

 private:
  LongTurns turns_;
  std::optional<ThreadSlots::Slot> slot_;
};

}  // namespace tavi
