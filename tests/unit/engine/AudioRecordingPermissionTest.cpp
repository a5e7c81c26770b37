#include "engine/AudioRecordingPermission.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "platform/ManualMainQueue.h"
#include "support/FakePermissionService.h"

namespace mixelot {
namespace {

using Status = AudioPermissionStatus;

class AudioRecordingPermissionTest : public ::testing::Test {
 protected:
  ManualMainQueue queue;
  testsupport::FakePermissionService service;
};

TEST_F(AudioRecordingPermissionTest, ReadsAtCreationAndAgainOnEachActivation) {
  service.status = Status::denied;
  AudioRecordingPermission permission(service, queue);
  EXPECT_EQ(permission.status(), Status::denied);  // at once, before the queue runs

  std::vector<Status> seen;
  auto observation = permission.observeStatus([&](Status status) { seen.push_back(status); });

  // Becoming active with the status unchanged publishes nothing.
  permission.applicationDidBecomeActive();
  EXPECT_EQ(service.preflights, 1);  // read in a task of its own, not inside the caller
  queue.runUntilIdle();
  EXPECT_EQ(service.preflights, 2);
  EXPECT_TRUE(seen.empty());

  // The user granted it in the settings meanwhile.
  service.status = Status::authorized;
  permission.applicationDidBecomeActive();
  permission.applicationDidBecomeActive();
  queue.runUntilIdle();
  EXPECT_EQ(seen, std::vector<Status>{Status::authorized});
  EXPECT_EQ(permission.status(), Status::authorized);
}

TEST_F(AudioRecordingPermissionTest, RequestCompletesOnTheMainQueueFromAnyThread) {
  AudioRecordingPermission permission(service, queue);
  ASSERT_EQ(permission.status(), Status::unknown);
  std::vector<std::pair<Status, std::thread::id>> seen;
  auto observation = permission.observeStatus(
      [&](Status status) { seen.emplace_back(status, std::this_thread::get_id()); });

  permission.requestAccess();
  ASSERT_EQ(service.pendingRequests.size(), 1u);
  std::thread([completion = service.takeRequest()] { completion(false); }).join();
  EXPECT_EQ(permission.status(), Status::unknown);  // not before the main queue runs
  queue.runUntilIdle();
  EXPECT_EQ(permission.status(), Status::denied);

  permission.requestAccess();
  std::thread([completion = service.takeRequest()] { completion(true); }).join();
  queue.runUntilIdle();
  EXPECT_EQ(permission.status(), Status::authorized);

  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(Status::denied, std::this_thread::get_id()));
  EXPECT_EQ(seen[1], std::make_pair(Status::authorized, std::this_thread::get_id()));
  EXPECT_EQ(service.settingsOpened, 0);

  // Without a way to ask, the settings page opens instead.
  service.canRequest = false;
  permission.requestAccess();
  EXPECT_EQ(service.settingsOpened, 1);
  EXPECT_TRUE(service.pendingRequests.empty());
}

TEST_F(AudioRecordingPermissionTest, LateCompletionsAndActivationsAfterDestructionChangeNothing) {
  auto permission = std::make_unique<AudioRecordingPermission>(service, queue);
  auto observation = permission->observeStatus([](Status) { FAIL() << "notified after death"; });
  permission->requestAccess();
  permission->applicationDidBecomeActive();
  service.status = Status::authorized;
  permission.reset();

  service.takeRequest()(true);
  queue.runUntilIdle();
  EXPECT_EQ(service.preflights, 1);
  observation.reset();  // the observation outlived the object it observed
}

TEST_F(AudioRecordingPermissionTest, ObserversMayEndObservationsWhileBeingNotified) {
  AudioRecordingPermission permission(service, queue);
  int once = 0, first = 0, second = 0;
  // Like a model that waits for one change, then stops observing from inside its observer.
  AudioRecordingPermission::Observation onceObservation;
  onceObservation = permission.observeStatus([&, captured = std::make_shared<int>(1)](Status) {
    onceObservation.reset();
    once += *captured;  // the observer's own state is still alive after its observation ended
  });
  AudioRecordingPermission::Observation secondObservation;
  auto firstObservation = permission.observeStatus([&](Status) {
    ++first;
    secondObservation.reset();
  });
  secondObservation = permission.observeStatus([&](Status) { ++second; });

  service.status = Status::denied;
  permission.refreshStatus();
  service.status = Status::authorized;
  permission.refreshStatus();
  EXPECT_EQ(once, 1);
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 0);
}

}  // namespace
}  // namespace mixelot
