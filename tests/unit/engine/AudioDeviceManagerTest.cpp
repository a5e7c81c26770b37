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
namespace scope = hal::scope;
namespace transport = hal::transport;

class AudioDeviceManagerTest : public ::testing::Test {
 protected:
  hal::PropertyAddress volume(uint32_t element) const {
    return {selector::kVolumeScalar, scope::kOutput, element};
  }
  float propertyFloat(hal::ObjectID object, const hal::PropertyAddress& address) const {
    return std::get<float>(*sim.property(object, address));
  }

  ManualMainQueue queue;
  SimAudioSystem sim{queue};
};

TEST_F(AudioDeviceManagerTest, ListsOutputDevicesWithTheirIcons) {
  sim.addDevice({.uid = "air", .name = "Living Room", .transport = transport::kAirPlay});
  sim.addDevice({.uid = "bt", .name = "Buds", .transport = transport::kBluetooth});
  sim.addDevice({.uid = "ble", .name = "Buds LE", .transport = transport::kBluetoothLE});
  sim.addDevice({.uid = "spk", .name = "Speakers", .transport = transport::kBuiltIn});
  sim.addDevice({.uid = "dp", .name = "Monitor", .transport = transport::kDisplayPort});
  sim.addDevice({.uid = "hdmi", .name = "TV", .transport = transport::kHDMI});
  sim.addDevice({.uid = "usb", .name = "DAC", .transport = transport::kUSB});
  sim.addDevice({.uid = "virt", .name = "Virtual", .transport = transport::kVirtual});
  auto noTransport = sim.addDevice({.uid = "odd", .name = "Odd"});
  sim.removeProperty(noTransport, {selector::kTransportType});

  AudioDeviceManager manager(sim);
  EXPECT_EQ(manager.availableOutputDevices(),
            (std::vector<OutputDevice>{{"air", "Living Room", "airplayaudio"},
                                       {"bt", "Buds", "headphones"},
                                       {"ble", "Buds LE", "headphones"},
                                       {"spk", "Speakers", "laptopcomputer"},
                                       {"dp", "Monitor", "tv"},
                                       {"hdmi", "TV", "tv"},
                                       {"usb", "DAC", "cable.connector"},
                                       {"virt", "Virtual", "hifispeaker"},
                                       {"odd", "Odd", "hifispeaker"}}));
}

TEST_F(AudioDeviceManagerTest, EnumerationFiltersAndFallsBack) {
  // No output streams but may be the default output: listed. Neither: dropped.
  sim.addDevice({.uid = "dfltOnly", .name = "Default only", .outputStreams = 0});
  sim.addDevice({.uid = "mic",
                 .name = "Microphone",
                 .outputStreams = 0,
                 .inputStreams = 1,
                 .canBeDefault = 0u});
  sim.addDevice({.uid = "noFlag", .name = "No flag", .outputStreams = 0, .canBeDefault = {}});
  // Our own aggregates, by name or by UID.
  sim.addDevice({.uid = "x", .name = "Mixelot-com.a"});
  sim.addDevice({.uid = "com.MixelotAgg.1", .name = "Aggregate"});
  auto noName = sim.addDevice({.uid = "anon", .name = "", .transport = transport::kUSB});
  sim.addFault(
      {.operation = Operation::kGetPropertyData, .object = noName, .selector = selector::kName});
  auto noUID = sim.addDevice({.uid = "hidden", .name = "No UID"});
  sim.addFault({.operation = Operation::kGetPropertyData,
                .object = noUID,
                .selector = selector::kDeviceUID});
  auto streamsFail = sim.addDevice({.uid = "flaky", .name = "Flaky", .canBeDefault = 0u});
  sim.addFault({.operation = Operation::kGetPropertyDataSize,
                .object = streamsFail,
                .selector = selector::kStreams});

  AudioDeviceManager manager(sim);
  EXPECT_EQ(manager.availableOutputDevices(),
            (std::vector<OutputDevice>{{"dfltOnly", "Default only", "laptopcomputer"},
                                       {"anon", "Unknown Device", "cable.connector"},
                                       {"", "No UID", "laptopcomputer"}}));

  sim.addFault({.operation = Operation::kGetPropertyDataSize,
                .object = hal::kSystemObject,
                .selector = selector::kDevices,
                .count = 1});
  EXPECT_TRUE(manager.availableOutputDevices().empty());
  sim.addFault({.operation = Operation::kGetPropertyData,
                .object = hal::kSystemObject,
                .selector = selector::kDevices,
                .count = 1});
  EXPECT_TRUE(manager.availableOutputDevices().empty());
}

TEST_F(AudioDeviceManagerTest, EmptySystemAndDeviceNames) {
  AudioDeviceManager manager(sim);
  EXPECT_TRUE(manager.availableOutputDevices().empty());
  EXPECT_EQ(manager.defaultOutputDeviceID(), hal::kUnknownObject);
  EXPECT_EQ(manager.currentDeviceIcon(), "desktopcomputer");
  EXPECT_EQ(manager.deviceName(1234), "Unknown Device");
  EXPECT_FALSE(manager.supportsVolume());
  EXPECT_EQ(manager.volume(), 1.0f);
  manager.setVolume(0.5f);  // nothing to write to, nothing happens

  auto usb = sim.addDevice({.uid = "usb", .name = "DAC", .transport = transport::kUSB});
  EXPECT_EQ(manager.deviceName(usb), "DAC");
}

TEST_F(AudioDeviceManagerTest, CurrentDeviceIcon) {
  auto usb = sim.addDevice({.uid = "usb", .name = "DAC", .transport = transport::kUSB});
  sim.setDefaultOutputDevice(usb);
  AudioDeviceManager manager(sim);
  EXPECT_EQ(manager.defaultOutputDeviceID(), usb);
  EXPECT_EQ(manager.currentDeviceIcon(), "cable.connector");
  sim.removeProperty(usb, {selector::kTransportType});
  EXPECT_EQ(manager.currentDeviceIcon(), "desktopcomputer");
}

TEST_F(AudioDeviceManagerTest, ChannelVolumesAreReadFromTheFirstAndWrittenToEvery) {
  auto device = sim.addDevice({.uid = "lr", .name = "LR", .volumeScalars = {{1, 0.3f}, {2, 0.6f}}});
  sim.setDefaultOutputDevice(device);
  AudioDeviceManager manager(sim);

  EXPECT_TRUE(manager.supportsVolume());
  EXPECT_EQ(manager.volume(), 0.3f);
  manager.setVolume(0.5f);
  EXPECT_EQ(propertyFloat(device, volume(1)), 0.5f);
  EXPECT_EQ(propertyFloat(device, volume(2)), 0.5f);
  EXPECT_FALSE(sim.property(device, volume(0)));

  manager.setVolume(1.7f);
  EXPECT_EQ(propertyFloat(device, volume(1)), 1.0f);
  manager.setVolume(-0.2f);
  EXPECT_EQ(propertyFloat(device, volume(2)), 0.0f);
  // A NaN from a broken caller must not reach the hardware.
  manager.setVolume(std::nanf(""));
  EXPECT_EQ(propertyFloat(device, volume(1)), 0.0f);

  // A failing read of element 1 falls through to element 2.
  sim.addFault({.operation = Operation::kGetPropertyData,
                .object = device,
                .selector = selector::kVolumeScalar,
                .element = 1u});
  manager.setVolume(0.8f);
  EXPECT_EQ(manager.volume(), 0.8f);
  sim.addFault({.operation = Operation::kGetPropertyData,
                .object = device,
                .selector = selector::kVolumeScalar});
  EXPECT_EQ(manager.volume(), 1.0f);
}

TEST_F(AudioDeviceManagerTest, VirtualMainVolumeWinsForReadAndWrite) {
  auto device = sim.addDevice(
      {.uid = "v", .name = "V", .virtualMainVolume = 0.25f, .volumeScalars = {{0, 0.9f}}});
  sim.setDefaultOutputDevice(device);
  AudioDeviceManager manager(sim);

  EXPECT_EQ(manager.volume(), 0.25f);
  manager.setVolume(0.4f);
  EXPECT_EQ(propertyFloat(device, {selector::kVirtualMainVolume, scope::kOutput}), 0.4f);
  EXPECT_EQ(propertyFloat(device, volume(0)), 0.9f);

  // A failed read of the main volume falls back to the scalar.
  sim.addFault({.operation = Operation::kGetPropertyData,
                .object = device,
                .selector = selector::kVirtualMainVolume});
  EXPECT_EQ(manager.volume(), 0.9f);

  // Supports-volume looks at the scalars only.
  auto mainOnly = sim.addDevice({.uid = "m", .name = "M", .virtualMainVolume = 0.5f});
  sim.setDefaultOutputDevice(mainOnly);
  queue.runUntilIdle();
  EXPECT_FALSE(manager.supportsVolume());
}

TEST_F(AudioDeviceManagerTest, ListenerFollowsTheDefaultDeviceAndKeepsTheOldIDOnFailure) {
  auto first = sim.addDevice({.uid = "a", .name = "A"});
  auto second = sim.addDevice({.uid = "b", .name = "B"});
  sim.setDefaultOutputDevice(first);
  AudioDeviceManager manager(sim);
  int calls = 0;
  manager.onDefaultDeviceChanged = [&] { ++calls; };

  sim.setDefaultOutputDevice(second);
  EXPECT_EQ(manager.defaultOutputDeviceID(), first);  // delivered on the main queue
  queue.runUntilIdle();
  EXPECT_EQ(manager.defaultOutputDeviceID(), second);
  EXPECT_EQ(calls, 1);

  sim.addFault({.operation = Operation::kGetPropertyData,
                .object = hal::kSystemObject,
                .selector = selector::kDefaultOutputDevice});
  sim.setDefaultOutputDevice(first);
  queue.runUntilIdle();
  EXPECT_EQ(manager.defaultOutputDeviceID(), second);
  EXPECT_EQ(calls, 2);
}

TEST_F(AudioDeviceManagerTest, TeardownRemovesTheListenerAndIgnoresQueuedDeliveries) {
  auto device = sim.addDevice({.uid = "a", .name = "A"});
  const size_t before = sim.listenerCount();
  int calls = 0;
  {
    auto manager = std::make_unique<AudioDeviceManager>(sim);
    manager->onDefaultDeviceChanged = [&] { ++calls; };
    EXPECT_EQ(sim.listenerCount(), before + 1);
    sim.setDefaultOutputDevice(device);  // a delivery is now queued
  }
  EXPECT_EQ(sim.listenerCount(), before);
  queue.runUntilIdle();
  EXPECT_EQ(calls, 0);

  // Creation still works when the listener cannot be added, and teardown removes nothing.
  sim.addFault({.operation = Operation::kAddListener});
  {
    AudioDeviceManager manager(sim);
    EXPECT_EQ(manager.defaultOutputDeviceID(), device);
  }
  EXPECT_EQ(sim.listenerCount(), before);
}

}  // namespace
}  // namespace mixelot
