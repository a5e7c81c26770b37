// What the engine reads of the system besides the chains: the output devices and the capture
// permission.
#include "engine/AudioDeviceManager.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "engine/AudioRecordingPermission.h"
#include "engine/hal/sim/SimAudioSystem.h"
#include "platform/ManualMainQueue.h"
#include "support/FakePlatform.h"

namespace mixelot {
namespace {

using hal::sim::SimAudioSystem;
using Operation = SimAudioSystem::Operation;
namespace selector = hal::selector;
namespace transport = hal::transport;

class AudioDeviceManagerTest : public ::testing::Test {
 protected:
  static hal::PropertyAddress volume(uint32_t element) {
    return {selector::kVolumeScalar, hal::scope::kOutput, element};
  }
  float read(hal::ObjectID object, const hal::PropertyAddress& address) const {
    return std::get<float>(*sim.property(object, address));
  }
  void failRead(hal::ObjectID object, uint32_t selector, std::optional<uint32_t> element = {}) {
    sim.addFault({.operation = Operation::kGetPropertyData,
                  .object = object,
                  .selector = selector,
                  .element = element});
  }

  ManualMainQueue queue;
  SimAudioSystem sim{queue};
};

TEST_F(AudioDeviceManagerTest, ListsRoutableDevicesWithTheirIcons) {
  sim.addDevice({.uid = "bt", .name = "Buds", .transport = transport::kBluetooth});
  sim.addDevice({.uid = "usb", .name = "DAC", .transport = transport::kUSB});
  // No output streams but may be the default output: listed. Neither: dropped.
  sim.addDevice({.uid = "dflt", .name = "Default only", .outputStreams = 0});
  sim.addDevice({.uid = "mic", .name = "Mic", .outputStreams = 0, .canBeDefault = 0u});
  sim.addDevice({.uid = "in", .name = "Input", .outputStreams = 0, .canBeDefault = {}});
  // Our own aggregate devices, by the name the engine gives them.
  sim.addDevice({.uid = "x", .name = "Mixelot-com.a"});
  // Failed reads fall back.
  failRead(sim.addDevice({.uid = "anon", .name = "", .transport = transport::kUSB}),
           selector::kName);
  failRead(sim.addDevice({.uid = "hidden", .name = "No UID"}), selector::kDeviceUID);
  failRead(sim.addDevice({.uid = "odd", .name = "Odd"}), selector::kTransportType);

  AudioDeviceManager manager(sim);
  EXPECT_EQ(manager.availableOutputDevices(),
            (std::vector<OutputDevice>{{"bt", "Buds", "headphones"},
                                       {"usb", "DAC", "cable.connector"},
                                       {"dflt", "Default only", "laptopcomputer"},
                                       {"anon", "Unknown Device", "cable.connector"},
                                       {"", "No UID", "laptopcomputer"},
                                       {"odd", "Odd", "hifispeaker"}}));

  failRead(hal::kSystemObject, selector::kDevices);
  EXPECT_TRUE(manager.availableOutputDevices().empty());
}

TEST_F(AudioDeviceManagerTest, WithoutADefaultDeviceOrItsTransportTheDesktopStandsIn) {
  AudioDeviceManager none(sim);
  EXPECT_EQ(none.currentDeviceIcon(), "desktopcomputer");
  EXPECT_FALSE(none.supportsVolume());
  EXPECT_EQ(none.volume(), 1.0f);

  auto usb = sim.addDevice({.uid = "usb", .name = "DAC", .transport = transport::kUSB});
  sim.setDefaultOutputDevice(usb);
  AudioDeviceManager manager(sim);
  EXPECT_EQ(manager.currentDeviceIcon(), "cable.connector");
  failRead(usb, selector::kTransportType);
  EXPECT_EQ(manager.currentDeviceIcon(), "desktopcomputer");
}

TEST_F(AudioDeviceManagerTest, ChannelVolumesAreReadFromTheFirstAndWrittenToEvery) {
  auto device = sim.addDevice({.uid = "lr", .name = "LR", .volumeScalars = {{1, 0.3f}, {2, 0.6f}}});
  sim.setDefaultOutputDevice(device);
  AudioDeviceManager manager(sim);
  EXPECT_TRUE(manager.supportsVolume());
  EXPECT_EQ(manager.volume(), 0.3f);
  // Clamped, and never NaN on the hardware.
  for (auto [set, written] : {std::pair{0.5f, 0.5f}, {1.7f, 1.0f}, {std::nanf(""), 0.0f}}) {
    manager.setVolume(set);
    EXPECT_EQ(read(device, volume(1)), written);
    EXPECT_EQ(read(device, volume(2)), written);
  }
  manager.setVolume(0.8f);
  failRead(device, selector::kVolumeScalar, 1u);
  EXPECT_EQ(manager.volume(), 0.8f);  // from element 2
  failRead(device, selector::kVolumeScalar);
  EXPECT_EQ(manager.volume(), 1.0f);
}

TEST_F(AudioDeviceManagerTest, VirtualMainVolumeWinsForReadAndWriteButNotForSupport) {
  auto device = sim.addDevice(
      {.uid = "v", .name = "V", .virtualMainVolume = 0.25f, .volumeScalars = {{0, 0.9f}}});
  sim.setDefaultOutputDevice(device);
  AudioDeviceManager manager(sim);
  EXPECT_EQ(manager.volume(), 0.25f);
  manager.setVolume(0.4f);
  EXPECT_EQ(read(device, {selector::kVirtualMainVolume, hal::scope::kOutput}), 0.4f);
  EXPECT_EQ(read(device, volume(0)), 0.9f);
  failRead(device, selector::kVirtualMainVolume);
  EXPECT_EQ(manager.volume(), 0.9f);

  sim.setDefaultOutputDevice(sim.addDevice({.uid = "m", .name = "M", .virtualMainVolume = 0.5f}));
  queue.runUntilIdle();
  EXPECT_FALSE(manager.supportsVolume());
}

TEST_F(AudioDeviceManagerTest, ListenerFollowsTheDefaultDeviceUntilTheManagerIsGone) {
  auto first = sim.addDevice({.uid = "a", .name = "A"});
  auto second = sim.addDevice({.uid = "b", .name = "B"});
  sim.setDefaultOutputDevice(first);
  const size_t before = sim.listenerCount();
  auto manager = std::make_unique<AudioDeviceManager>(sim);
  EXPECT_EQ(manager->defaultOutputDeviceID(), first);
  int calls = 0;
  manager->onDefaultDeviceChanged = [&] { ++calls; };
  sim.setDefaultOutputDevice(second);
  queue.runUntilIdle();
  EXPECT_EQ(manager->defaultOutputDeviceID(), second);
  EXPECT_EQ(calls, 1);

  // An unreadable default keeps the old one, and still tells.
  failRead(hal::kSystemObject, selector::kDefaultOutputDevice);
  sim.setDefaultOutputDevice(first);
  queue.runUntilIdle();
  EXPECT_EQ(manager->defaultOutputDeviceID(), second);
  EXPECT_EQ(calls, 2);

  // A delivery queued before the manager goes never reaches it.
  sim.clearFaults();
  sim.setDefaultOutputDevice(second);
  manager.reset();
  EXPECT_EQ(sim.listenerCount(), before);
  queue.runUntilIdle();
  EXPECT_EQ(calls, 2);
}

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
