#include "platform/ManualMainQueue.h"

#include <poll.h>

namespace mixelot {

ManualMainQueue::ManualMainQueue() : start_(std::chrono::steady_clock::now()), now_(start_) {}
ManualMainQueue::~ManualMainQueue() = default;

void ManualMainQueue::post(Task task) {
  std::lock_guard lock(mutex_);
  posted_.push_back(std::move(task));
}

Timer ManualMainQueue::schedule(Seconds interval, bool repeats, Task task) {
  auto state = std::make_shared<ScheduledTask>(interval, repeats, std::move(task));
  std::lock_guard lock(mutex_);
  auto due = now_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval);
  timers_.emplace(std::make_pair(due, nextSequence_++), state);
  return Timer(state);
}

TimePoint ManualMainQueue::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

Timer ManualMainQueue::watchReadable(int fd, Task task) {
  auto state = std::make_shared<ScheduledTask>(Seconds(0), true, std::move(task));
  std::lock_guard lock(mutex_);
  watches_.emplace_back(fd, state);
  return Timer(state);
}

bool ManualMainQueue::pollWatches() {
  std::vector<std::pair<int, std::shared_ptr<ScheduledTask>>> watches;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(watches_, [](const auto& watch) { return !watch.second->active; });
    watches = watches_;
  }
  bool ran = false;
  for (auto& [fd, state] : watches) {
    pollfd entry{fd, POLLIN, 0};
    if (state->active && ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN)) {
      auto task = state->task;
      task();
      ran = true;
    }
  }
  return ran;
}

size_t ManualMainQueue::runUntilIdle() {
  size_t count = 0;
  // A watch whose task does not consume its descriptor's readiness would spin forever.
  int watchRounds = 0;
  for (;;) {
    std::vector<Task> batch;
    {
      std::lock_guard lock(mutex_);
      batch.swap(posted_);
    }
    if (batch.empty()) {
      if (++watchRounds < 1000 && pollWatches()) continue;
      return count;
    }
    for (auto& task : batch) {
      task();
      ++count;
    }
  }
}

void ManualMainQueue::fireDueTimers(TimePoint until) {
  for (;;) {
    runUntilIdle();
    std::shared_ptr<ScheduledTask> timer;
    {
      std::lock_guard lock(mutex_);
      // Drop cancelled timers lazily.
      while (!timers_.empty() && !timers_.begin()->second->active) timers_.erase(timers_.begin());
      if (timers_.empty() || timers_.begin()->first.first > until) {
        now_ = until;
        break;
      }
      auto node = timers_.extract(timers_.begin());
      timer = node.mapped();
      now_ = node.key().first;
      if (timer->repeats) {
        auto step =
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(timer->interval);
        if (step.count() <= 0) step = std::chrono::steady_clock::duration(1);
        timers_.emplace(std::make_pair(now_ + step, nextSequence_++), timer);
      } else {
        timer->active = false;
      }
    }
    // Copy: the task may cancel (and so release) its own timer while running.
    auto task = timer->task;
    task();
  }
  runUntilIdle();
}

void ManualMainQueue::advance(Seconds duration) {
  TimePoint until;
  {
    std::lock_guard lock(mutex_);
    until = now_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration);
  }
  fireDueTimers(until);
}

void ManualMainQueue::runFor(Seconds duration) {
  advance(duration);
}

size_t ManualMainQueue::pendingTimers() const {
  std::lock_guard lock(mutex_);
  size_t count = 0;
  for (const auto& [key, timer] : timers_) count += timer->active ? 1 : 0;
  return count;
}

}  // namespace mixelot
