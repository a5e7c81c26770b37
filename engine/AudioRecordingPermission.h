#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "platform/MainQueue.h"
#include "platform/PermissionService.h"

namespace mixelot {

// The permission to capture other applications' audio, kept as an observable status. It is read
// at creation, again whenever the application becomes active (the user may have changed it in the
// system settings meanwhile), and when a request completes. There is no polling timer.
// Main thread only, except where noted.
class AudioRecordingPermission {
 public:
  using StatusObserver = std::function<void(AudioPermissionStatus)>;

  // Keeps an observer registered for its lifetime. May outlive the permission object.
  class Observation {
   public:
    Observation() = default;
    Observation(Observation&&) noexcept = default;
    Observation& operator=(Observation&& other) noexcept;
    Observation(const Observation&) = delete;
    Observation& operator=(const Observation&) = delete;
    ~Observation() { reset(); }
    void reset();

   private:
    friend class AudioRecordingPermission;
    struct Registry;
    Observation(std::weak_ptr<Registry> registry, std::uint64_t id)
        : registry_(std::move(registry)), id_(id) {}
    std::weak_ptr<Registry> registry_;
    std::uint64_t id_ = 0;
  };

  // Starts at `unknown` and reads the current status at once.
  AudioRecordingPermission(PermissionService& service, MainQueue& queue);
  ~AudioRecordingPermission();
  AudioRecordingPermission(const AudioRecordingPermission&) = delete;
  AudioRecordingPermission& operator=(const AudioRecordingPermission&) = delete;

  AudioPermissionStatus status() const { return status_; }

  // `observer` runs after each real change of `status`, with the new value. It may end its own
  // or another observation while it runs.
  [[nodiscard]] Observation observeStatus(StatusObserver observer);

  // Reads the permission again.
  void refreshStatus();
  // Asks the user; without a way to ask on this system, opens the settings page instead.
  void requestAccess();
  void openSystemSettings();

  // The program layer calls this each time the application becomes active. The status is read
  // again in a task of its own on the main queue (not inside the caller's event).
  void applicationDidBecomeActive();

 private:
  void setStatus(AudioPermissionStatus status);

  PermissionService& service_;
  MainQueue& queue_;
  AudioPermissionStatus status_ = AudioPermissionStatus::unknown;
  std::shared_ptr<Observation::Registry> observers_;
  // Held only here; queued tasks and request completions keep a weak reference to know whether
  // this object still exists when they run.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace mixelot
