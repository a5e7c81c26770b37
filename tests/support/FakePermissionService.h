#pragma once

#include <deque>
#include <utility>

#include "platform/PermissionService.h"

namespace mixelot::testsupport {

// Answers preflight with `status`; keeps each request's completion for the test to call, from
// whatever thread it likes.
class FakePermissionService final : public PermissionService {
 public:
  AudioPermissionStatus status = AudioPermissionStatus::unknown;
  // False: the system offers no way to ask.
  bool canRequest = true;
  int preflights = 0;
  int settingsOpened = 0;
  std::deque<RequestCompletion> pendingRequests;

  AudioPermissionStatus preflight() override {
    ++preflights;
    return status;
  }
  bool request(RequestCompletion completion) override {
    if (!canRequest) return false;
    pendingRequests.push_back(std::move(completion));
    return true;
  }
  void openSettings() override { ++settingsOpened; }

  // The oldest pending completion, removed from the queue.
  RequestCompletion takeRequest() {
    RequestCompletion completion = std::move(pendingRequests.front());
    pendingRequests.pop_front();
    return completion;
  }
};

}  // namespace mixelot::testsupport
