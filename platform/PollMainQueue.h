#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "platform/MainQueue.h"

namespace mixelot {

// A real-time main queue on poll(2), for programs and tests without Qt: the thread that calls
// run() or runFor() is the main thread.
class PollMainQueue final : public MainQueue {
 public:
  PollMainQueue();
  ~PollMainQueue() override;
  PollMainQueue(const PollMainQueue&) = delete;
  PollMainQueue& operator=(const PollMainQueue&) = delete;

  void post(Task task) override;
  Timer schedule(Seconds interval, bool repeats, Task task) override;
  TimePoint now() const override;
  Timer watchReadable(int fd, Task task) override;
  void runFor(Seconds duration) override;

  // Runs until quit() (thread-safe).
  void run();
  void quit();
  // Runs until `done` returns true or the timeout passes; returns `done()`.
  bool runUntil(const std::function<bool()>& done, Seconds timeout);

 private:
  void runOnce(TimePoint deadline);
  void wake();

  int wakeFd_ = -1;
  std::mutex mutex_;
  std::vector<Task> posted_;
  uint64_t nextSequence_ = 0;
  std::map<std::pair<TimePoint, uint64_t>, std::shared_ptr<ScheduledTask>> timers_;
  std::vector<std::pair<int, std::shared_ptr<ScheduledTask>>> watches_;
  std::atomic<bool> quit_{false};
};

}  // namespace mixelot
