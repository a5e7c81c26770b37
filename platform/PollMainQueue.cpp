#include "platform/PollMainQueue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace mixelot {

namespace {
std::chrono::steady_clock::duration toClock(Seconds seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(seconds);
}
}  // namespace

PollMainQueue::PollMainQueue() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PollMainQueue::~PollMainQueue() {
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void PollMainQueue::wake() {
  uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
}

void PollMainQueue::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(task));
  }
  wake();
}

Timer PollMainQueue::schedule(Seconds interval, bool repeats, Task task) {
  auto entry = std::make_shared<ScheduledTask>(interval, repeats, std::move(task));
  std::lock_guard lock(mutex_);
  timers_.emplace(std::make_pair(now() + toClock(interval), nextSequence_++), entry);
  return Timer(entry);
}

TimePoint PollMainQueue::now() const {
  return std::chrono::steady_clock::now();
}

Timer PollMainQueue::watchReadable(int fd, Task task) {
  auto entry = std::make_shared<ScheduledTask>(Seconds(0), true, std::move(task));
  std::lock_guard lock(mutex_);
  watches_.emplace_back(fd, entry);
  return Timer(entry);
}

void PollMainQueue::runOnce(TimePoint deadline) {
  // 1. Posted tasks.
  std::vector<Task> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(posted_);
  }
  for (auto& task : batch) task();

  // 2. Due timers, one pass.
  for (;;) {
    std::shared_ptr<ScheduledTask> due;
    {
      std::lock_guard lock(mutex_);
      while (!timers_.empty() && !timers_.begin()->second->active) timers_.erase(timers_.begin());
      if (timers_.empty() || timers_.begin()->first.first > now()) break;
      auto node = timers_.extract(timers_.begin());
      due = node.mapped();
      if (due->repeats) {
        auto step = std::max(toClock(due->interval), std::chrono::steady_clock::duration(1));
        timers_.emplace(std::make_pair(node.key().first + step, nextSequence_++), due);
      } else {
        due->active = false;
      }
    }
    auto task = due->task;
    task();
  }

  // 3. Wait for a descriptor, a post, the next timer or the deadline.
  std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
  std::vector<std::shared_ptr<ScheduledTask>> entries{nullptr};
  TimePoint wakeAt = deadline;
  {
    std::lock_guard lock(mutex_);
    if (!posted_.empty()) wakeAt = now();
    std::erase_if(watches_, [](const auto& watch) { return !watch.second->active; });
    for (auto& [fd, entry] : watches_) {
      fds.push_back({fd, POLLIN, 0});
      entries.push_back(entry);
    }
    for (auto& [key, entry] : timers_)
      if (entry->active) {
        wakeAt = std::min(wakeAt, key.first);
        break;
      }
  }
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now()).count();
  int timeout = static_cast<int>(std::clamp<long long>(wait + (wakeAt > now() ? 1 : 0), 0, 60000));
  int ready = ::poll(fds.data(), fds.size(), timeout);
  if (ready <= 0) return;
  if (fds[0].revents & POLLIN) {
    uint64_t count;
    [[maybe_unused]] auto readBytes = ::read(wakeFd_, &count, sizeof count);
  }
  for (size_t i = 1; i < fds.size(); ++i)
    if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) && entries[i]->active) {
      auto task = entries[i]->task;
      task();
    }
}

void PollMainQueue::runFor(Seconds duration) {
  TimePoint deadline = now() + toClock(duration);
  do runOnce(deadline);
  while (now() < deadline);
}

void PollMainQueue::run() {
  quit_ = false;
  while (!quit_) runOnce(now() + std::chrono::seconds(1));
}

void PollMainQueue::quit() {
  quit_ = true;
  wake();
}

bool PollMainQueue::runUntil(const std::function<bool()>& done, Seconds timeout) {
  TimePoint deadline = now() + toClock(timeout);
  while (!done() && now() < deadline) runOnce(std::min(deadline, now() + toClock(Seconds(0.05))));
  return done();
}

}  // namespace mixelot
