#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "platform/MainQueue.h"

namespace mixelot {

// A main queue on virtual time for tests: nothing runs until the test asks, and time moves only
// when the test advances it. `post` stays thread-safe so tests can post from other threads.
class ManualMainQueue final : public MainQueue {
 public:
  ManualMainQueue();
  ~ManualMainQueue() override;

  void post(Task task) override;
  Timer schedule(Seconds interval, bool repeats, Task task) override;
  TimePoint now() const override;
  // Watched descriptors are polled (without waiting) whenever the queue runs.
  Timer watchReadable(int fd, Task task) override;
  void runFor(Seconds duration) override;

  // Runs posted tasks (and tasks they post) until none is left; timers are not advanced.
  // Returns the number of tasks run.
  size_t runUntilIdle();
  // Moves virtual time forward, firing due timers in time order and running posted tasks.
  void advance(Seconds duration);
  size_t pendingTimers() const;
  Seconds elapsed() const { return now() - start_; }

 private:
  void fireDueTimers(TimePoint until);
  bool pollWatches();

  mutable std::mutex mutex_;
  std::vector<Task> posted_;
  TimePoint start_;
  TimePoint now_;
  uint64_t nextSequence_ = 0;
  // Keyed by (due time, sequence) so that timers due at the same moment fire in creation order.
  std::map<std::pair<TimePoint, uint64_t>, std::shared_ptr<ScheduledTask>> timers_;
  std::vector<std::pair<int, std::shared_ptr<ScheduledTask>>> watches_;
};

}  // namespace mixelot
