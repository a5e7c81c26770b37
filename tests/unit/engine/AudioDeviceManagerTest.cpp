#include "engine/AudioDeviceManager.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "engine/hal/sim/SimAudioSystem.h"
#include "platform/ManualMainQueue.h"

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

}  // namespace
}  // namespace mixelot
