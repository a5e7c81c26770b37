#include "engine/AudioRecordingPermission.h"

#include <utility>
#include <vector>

namespace mixelot {

struct AudioRecordingPermission::Observation::Registry {
  std::uint64_t nextId = 1;
  std::map<std::uint64_t, StatusObserver> observers;
};

AudioRecordingPermission::Observation& AudioRecordingPermission::Observation::operator=(
    Observation&& other) noexcept {
  if (this != &other) {
    reset();
    registry_ = std::move(other.registry_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void AudioRecordingPermission::Observation::reset() {
  if (auto registry = registry_.lock()) registry->observers.erase(id_);
  registry_.reset();
}

AudioRecordingPermission::AudioRecordingPermission(PermissionService& service, MainQueue& queue)
    : service_(service), queue_(queue), observers_(std::make_shared<Observation::Registry>()) {
  refreshStatus();
}

AudioRecordingPermission::~AudioRecordingPermission() = default;

AudioRecordingPermission::Observation AudioRecordingPermission::observeStatus(
    StatusObserver observer) {
  std::uint64_t id = observers_->nextId++;
  observers_->observers.emplace(id, std::move(observer));
  return Observation(observers_, id);
}

void AudioRecordingPermission::refreshStatus() {
  setStatus(service_.preflight());
}

void AudioRecordingPermission::requestAccess() {
  std::weak_ptr<bool> alive = alive_;
  MainQueue& queue = queue_;
  // The completion may come on any thread: it only posts, and the posted task checks that this
  // object still exists before touching it.
  bool asked = service_.request([alive, &queue, this](bool granted) {
    queue.post([alive, this, granted] {
      if (alive.lock())
        setStatus(granted ? AudioPermissionStatus::authorized : AudioPermissionStatus::denied);
    });
  });
  if (!asked) openSystemSettings();
}

void AudioRecordingPermission::openSystemSettings() {
  service_.openSettings();
}

void AudioRecordingPermission::applicationDidBecomeActive() {
  queue_.post([alive = std::weak_ptr<bool>(alive_), this] {
    if (alive.lock()) refreshStatus();
  });
}

void AudioRecordingPermission::setStatus(AudioPermissionStatus status) {
  if (status == status_) return;
  status_ = status;
  // Ids first, then a lookup per call: an observer may end observations (its own included) or
  // start new ones while this runs; ended ones are not called, new ones wait for the next change.
  std::vector<std::uint64_t> ids;
  ids.reserve(observers_->observers.size());
  for (const auto& [id, observer] : observers_->observers) ids.push_back(id);
  for (std::uint64_t id : ids) {
    auto found = observers_->observers.find(id);
    if (found == observers_->observers.end()) continue;
    // A copy: the observer may erase its own entry while it runs.
    StatusObserver observer = found->second;
    observer(status);
  }
}

}  // namespace mixelot
