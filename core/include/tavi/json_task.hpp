// The coroutine type of the typed JSON readers.
//
// A JsonTask<T> is one reading step (a record, a list, a string) that yields
// Result<T>. It starts only when awaited, runs until it needs a token that
// RapidJSON has not produced yet, and suspends until the JsonReader hands it
// one. When it finishes, control passes straight back to the task that awaited
// it, so a chain of nested readers costs no stack beyond its own frames.
#pragma once

#include <coroutine>
#include <cstddef>
#include <exception>
#include <optional>
#include <utility>

#include "tavi/result.hpp"

namespace tavi {

class JsonReader;
// The frames of reading coroutines come from their reader, which keeps the
// ones that ended for the next: a reading allocates only as many frames as
// are alive at once. Every reading coroutine therefore takes its JsonReader
// as its first parameter.
void* allocate_json_frame(JsonReader& reader, std::size_t size);
void release_json_frame(void* frame, std::size_t size) noexcept;

template <class T>
class [[nodiscard]] JsonTask {
 public:
  struct promise_type {
    std::optional<Result<T>> result;
    std::coroutine_handle<> continuation;

    JsonTask get_return_object() {
      return JsonTask(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> done) noexcept {
        const std::coroutine_handle<> next = done.promise().continuation;
        return next ? next : std::noop_coroutine();
      }
      void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void return_value(Result<T> value) { result.emplace(std::move(value)); }
    void unhandled_exception() { throw; }

    template <class... Parameters>
    static void* operator new(std::size_t size, JsonReader& reader, Parameters&...) {
      return allocate_json_frame(reader, size);
    }
    static void operator delete(void* frame, std::size_t size) noexcept {
      release_json_frame(frame, size);
    }
  };

  JsonTask(JsonTask&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  JsonTask& operator=(JsonTask&&) = delete;
  ~JsonTask() {
    if (handle_) handle_.destroy();
  }

  // Awaiting a task runs it; the awaiting coroutine continues with its result.
  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    handle_.promise().continuation = awaiting;
    return handle_;
  }
  Result<T> await_resume() { return std::move(*handle_.promise().result); }

  // For the JsonReader, which drives the outermost task.
  std::coroutine_handle<> handle() const { return handle_; }
  bool done() const { return handle_.done(); }
  Result<T> take_result() { return std::move(*handle_.promise().result); }

 private:
  explicit JsonTask(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
  std::coroutine_handle<promise_type> handle_;
};

}  // namespace tavi
