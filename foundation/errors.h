#pragma once

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace velmo::ai {

// Failures whose kind a caller acts on: the API answers each kind with a status of its own, and
// any other exception, a standard one from a stray `.at()` included, as an internal error. Each
// derives from the standard class of its kind, so whoever catches that class still catches it.

// The request, or a setting it depends on, is malformed or out of range.
class InvalidInput : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The task id or stream id is taken, or the registry is full.
class TaskConflict : public std::length_error {
 public:
  using std::length_error::length_error;
};

// No task is registered under the id.
class TaskNotFound : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

// Something the work needs is not there now (the model, a thread): asking again later may do.
class ServiceUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Asked before every thread start_thread makes, while one is set; false refuses that start as the
// system would (EAGAIN). Only tests set one: a refused start cannot be had for real on demand.
using ThreadStartGate = bool (*)();
inline std::atomic<ThreadStartGate> thread_start_gate{nullptr};

// A new std::thread or std::jthread running `args`; the system's refusal of another thread is a
// passing shortage, reported as ServiceUnavailable with the system's message. The service's
// long-lived threads start here, so that no refusal escapes as a std::system_error; a caller that
// starts several stops and joins those it got before passing the refusal on. Two start elsewhere:
// the shutdown's stop:<task> threads, whose refusal the task manager meets by stopping that task
// itself, and ONNX Runtime's pool, started through its own hook.
template <class Thread, class... Args>
Thread start_thread(Args&&... args) {
  try {
    if (const ThreadStartGate gate = thread_start_gate.load(); gate != nullptr && !gate()) {
      throw std::system_error(EAGAIN, std::generic_category(), "thread start refused");
    }
    return Thread(std::forward<Args>(args)...);
  } catch (const std::system_error& e) {
    throw ServiceUnavailable(e.what());
  }
}

}  // namespace velmo::ai
