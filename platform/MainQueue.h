#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace mixelot {

// Seconds as a double: every interval of the system (3 s discovery, 0.5 s alive wait, ...) is
// written in seconds, so this keeps the call sites plain.
using Seconds = std::chrono::duration<double>;
using TimePoint = std::chrono::steady_clock::time_point;

// A cancellable timer. The handle owns the timer: destroying it cancels it, so an object that
// holds its timer as a member can never be called back after it died.
class Timer {
 public:
  struct State {
    virtual ~State() = default;
    virtual void cancel() = 0;
    virtual bool isActive() const = 0;
  };

  Timer() = default;
  explicit Timer(std::shared_ptr<State> state) : state_(std::move(state)) {}
  Timer(Timer&&) noexcept = default;
  Timer& operator=(Timer&& other) noexcept {
    if (this != &other) {
      cancel();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  ~Timer() { cancel(); }

  void cancel() {
    if (state_) state_->cancel();
    state_.reset();
  }
  bool isActive() const { return state_ && state_->isActive(); }

 private:
  std::shared_ptr<State> state_;
};

// The state behind a timer or a descriptor watch of the queues that keep their own schedule
// (the virtual-time and the poll-based ones).
struct ScheduledTask final : Timer::State {
  ScheduledTask(Seconds interval, bool repeats, std::function<void()> task)
      : interval(interval), repeats(repeats), task(std::move(task)) {}
  void cancel() override { active = false; }
  bool isActive() const override { return active; }

  Seconds interval;
  bool repeats;
  std::function<void()> task;
  bool active = true;
};

// The main thread's queue: every model object lives on it, audio-layer listeners are delivered
// through it, and every timer goes through it so tests can run on virtual time.
class MainQueue {
 public:
  using Task = std::function<void()>;

  virtual ~MainQueue() = default;

  // Thread-safe: may be called from any thread, the task runs later on the main thread.
  virtual void post(Task task) = 0;

  // Main thread only. A one-shot or repeating timer; the first run is `interval` from now.
  virtual Timer schedule(Seconds interval, bool repeats, Task task) = 0;

  virtual TimePoint now() const = 0;

  // Main thread only. Runs `task` on the main thread whenever `fd` is readable, until the returned
  // handle is cancelled or destroyed: how a backend's event loop (PipeWire's) is driven from the
  // main thread without a thread of its own.
  virtual Timer watchReadable(int fd, Task task) = 0;

  // Main thread only. Runs queued tasks and due timers for `duration`, then returns: a nested
  // wait, for the few places that poll something with a deadline.
  virtual void runFor(Seconds duration) = 0;
};

}  // namespace mixelot
