// The backend's view of a real session: devices, the default device, device volume on the
// desktop's scale, process objects, and that nothing of ours shows up among them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "engine/AudioDeviceManager.h"
#include "engine/hal/PropertyReads.h"
#include "engine/hal/pipewire/PipeWireAudioHardware.h"
#include "support/SessionTest.h"

namespace mixelot {
namespace {

using namespace testsupport;
using hal::PropertyAddress;
using hal::pipewire::PipeWireAudioHardware;
namespace selector = hal::selector;
namespace scope = hal::scope;

class DevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MIXELOT_REQUIRE_SESSION();
    hardware_ = std::make_unique<PipeWireAudioHardware>(queue_);
    ASSERT_TRUE(hardware_->isConnected());
  }

  std::vector<hal::ObjectID> list(hal::ObjectID object, uint32_t selector) {
    return hal::readObjectList(*hardware_, object, {selector})
        .value_or(std::vector<hal::ObjectID>{});
  }
  hal::ObjectID deviceWithUID(const std::string& uid) {
    for (auto device : list(hal::kSystemObject, selector::kDevices))
      if (hal::readString(*hardware_, device, {selector::kDeviceUID}) == uid) return device;
    return hal::kUnknownObject;
  }
  // Process objects whose PID is `pid`.
  std::vector<hal::ObjectID> processesOf(pid_t pid) {
    std::vector<hal::ObjectID> found;
    for (auto process : list(hal::kSystemObject, selector::kProcessObjects))
      if (hal::readInt32(*hardware_, process, {selector::kProcessPID}) == pid)
        found.push_back(process);
    return found;
  }
  // What the desktop's mixer says of a node's volume ("Volume: 0.50 [MUTED]").
  std::string volumeOf(uint32_t node) {
    return runCommand("wpctl get-volume " + std::to_string(node) + " 2>&1").output;
  }
  uint32_t nodeIdOf(const std::string& name) {
    for (const auto& object : session().dump())
      if (object.value("type", "") == "PipeWire:Interface:Node" &&
          object["info"]["props"].value("node.name", "") == name)
        return object["id"].get<uint32_t>();
    return 0;
  }

  PollMainQueue queue_;
  std::unique_ptr<PipeWireAudioHardware> hardware_;
};

TEST_F(DevicesTest, ListsTheSessionsSinksAndFollowsTheDefault) {
  const hal::ObjectID speakers = deviceWithUID("speakers");
  const hal::ObjectID headphones = deviceWithUID("headphones");
  ASSERT_NE(speakers, hal::kUnknownObject);
  ASSERT_NE(headphones, hal::kUnknownObject);
  EXPECT_EQ(hal::readString(*hardware_, speakers, {selector::kName}), "Speakers");
  EXPECT_EQ(hal::readUInt32(*hardware_, hal::kSystemObject, {selector::kDefaultOutputDevice}),
            speakers);
  EXPECT_EQ(hal::readUInt32(*hardware_, speakers, {selector::kDeviceIsAlive}), 1u);
  // A client outside a sandbox may move every stream.
  EXPECT_EQ(hardware_->hasFullAccess(), true);

  // What the mixer's device menu shows, through the engine's own reading rules: both devices,
  // and a null sink has no transport we know.
  AudioDeviceManager manager(*hardware_);
  auto devices = manager.availableOutputDevices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].id, "speakers");
  EXPECT_EQ(devices[1].name, "Headphones");
  EXPECT_EQ(devices[0].icon, "hifispeaker");

  int changes = 0;
  manager.onDefaultDeviceChanged = [&] { ++changes; };
  ASSERT_TRUE(whileRunning(queue_, [] { return session().setDefault("headphones"); }));
  EXPECT_TRUE(waitFor(queue_, [&] { return manager.defaultOutputDeviceID() == headphones; }));
  EXPECT_GE(changes, 1);
  // IDs are kept per device for the life of the connection.
  EXPECT_EQ(deviceWithUID("speakers"), speakers);

  ASSERT_TRUE(whileRunning(queue_, [] { return session().setDefault("speakers"); }));
  EXPECT_TRUE(waitFor(queue_, [&] { return manager.defaultOutputDeviceID() == speakers; }));
}

TEST_F(DevicesTest, DeviceVolumeAndMuteAgreeWithTheDesktopsMixer) {
  AudioDeviceManager manager(*hardware_);
  ASSERT_TRUE(manager.supportsVolume());
  const uint32_t node = nodeIdOf("speakers");
  ASSERT_NE(node, 0u);

  manager.setVolume(0.5f);
  // wpctl prints the cube root of the linear channel volume, as we do.
  EXPECT_TRUE(
      waitFor(queue_, [&] { return volumeOf(node).find("Volume: 0.50") != std::string::npos; }));
  EXPECT_NEAR(manager.volume(), 0.5f, 1e-4);

  // A change made elsewhere reaches our reads and the volume listener.
  const hal::ObjectID speakers = manager.defaultOutputDeviceID();
  int heard = 0;
  hal::ListenerID listener = 0;
  const PropertyAddress volumeAddress{selector::kVirtualMainVolume, scope::kOutput};
  ASSERT_EQ(
      hardware_->addPropertyListener(
          speakers, volumeAddress, [&](std::span<const PropertyAddress>) { ++heard; }, listener),
      hal::kNoError);
  runCommand("wpctl set-volume " + std::to_string(node) + " 0.3 2>&1");
  EXPECT_TRUE(
      waitFor(queue_, [&] { return std::abs(manager.volume() - 0.3f) < 1e-3 && heard > 0; }));
  hardware_->removePropertyListener(speakers, volumeAddress, listener);

  const PropertyAddress muteAddress{selector::kMute, scope::kOutput};
  ASSERT_EQ(hal::writeUInt32(*hardware_, speakers, muteAddress, 1), hal::kNoError);
  EXPECT_TRUE(waitFor(queue_, [&] { return volumeOf(node).find("MUTED") != std::string::npos; }));
  hal::writeUInt32(*hardware_, speakers, muteAddress, 0);
  manager.setVolume(1.0f);
  EXPECT_TRUE(waitFor(queue_, [&] { return volumeOf(node) == "Volume: 1.00\n"; }));
}

TEST_F(DevicesTest, OneProcessObjectPerPlayingProcessNoneOfOurs) {
  int listChanges = 0;
  hal::ListenerID listener = 0;
  hardware_->addPropertyListener(
      hal::kSystemObject, {selector::kProcessObjects},
      [&](std::span<const PropertyAddress>) { ++listChanges; }, listener);

  auto app = whileRunning(queue_, [] { return session().tone("org.example.Music", 440); });
  ASSERT_TRUE(app);
  ASSERT_TRUE(waitFor(queue_, [&] { return !processesOf(*app).empty() && listChanges > 0; }));
  const hal::ObjectID process = processesOf(*app).front();
  EXPECT_EQ(hal::readString(*hardware_, process, {selector::kProcessBundleID}),
            "org.example.Music");
  EXPECT_TRUE(waitFor(queue_, [&] {
    return hal::readUInt32(*hardware_, process,
                           {selector::kProcessIsRunningOutput, scope::kOutput}) == 1u;
  }));

  // A player started by the app is a process of its own: its PID, the app's identity.
  auto parent = whileRunning(
      queue_, [] { return session().tone("org.example.Browser", 550, {.child = true}); });
  ASSERT_TRUE(parent);
  std::vector<hal::ObjectID> helper;
  ASSERT_TRUE(waitFor(queue_, [&] {
    for (auto candidate : list(hal::kSystemObject, selector::kProcessObjects))
      if (hal::readString(*hardware_, candidate, {selector::kProcessBundleID}) ==
          "org.example.Browser")
        helper.push_back(candidate);
    return !helper.empty();
  }));
  auto helperPid = hal::readInt32(*hardware_, helper.front(), {selector::kProcessPID});
  ASSERT_TRUE(helperPid);
  EXPECT_NE(*helperPid, *parent);

  // A tap makes a sink of ours: never a device, never a process.
  const auto devicesBefore = list(hal::kSystemObject, selector::kDevices);
  hal::ObjectID tap = hal::kUnknownObject;
  ASSERT_EQ(hardware_->createProcessTap(hal::TapDescription::stereoMixdown({process}), tap),
            hal::kNoError);
  queue_.runFor(Seconds(0.3));
  EXPECT_EQ(list(hal::kSystemObject, selector::kDevices), devicesBefore);
  EXPECT_TRUE(processesOf(::getpid()).empty());
  EXPECT_EQ(session().nodesNamed("mixelot.tap.").size(), 1u);
  EXPECT_EQ(hardware_->destroyProcessTap(tap), hal::kNoError);

  session().stopTone(*app);
  session().stopTone(*parent);
  EXPECT_TRUE(waitFor(queue_, [&] { return processesOf(*app).empty(); }));
  hardware_->removePropertyListener(hal::kSystemObject, {selector::kProcessObjects}, listener);
}

TEST(DevicesWithoutDaemonTest, StartsEmptyAndConnectsWhenTheDaemonAppears) {
  MIXELOT_REQUIRE_SESSION();
  // The program may start before the daemon (early in a login): it must not fail, and must
  // pick the daemon up once it is there.
  const std::string remote = std::getenv("PIPEWIRE_REMOTE");
  ::setenv("PIPEWIRE_REMOTE", (session().dir() + "/not-yet").c_str(), 1);
  PollMainQueue queue;
  PipeWireAudioHardware hardware(queue);
  EXPECT_FALSE(hardware.isConnected());
  EXPECT_EQ(hal::readUInt32(hardware, hal::kSystemObject, {selector::kDefaultOutputDevice}),
            hal::kUnknownObject);
  EXPECT_EQ(hal::readObjectList(hardware, hal::kSystemObject, {selector::kDevices}),
            std::vector<hal::ObjectID>{});

  bool heard = false;
  hal::ListenerID listener = 0;
  hardware.addPropertyListener(
      hal::kSystemObject, {selector::kDefaultOutputDevice},
      [&](std::span<const PropertyAddress>) { heard = true; }, listener);
  queue.runFor(Seconds(0.2));
  ::setenv("PIPEWIRE_REMOTE", remote.c_str(), 1);
  EXPECT_TRUE(waitFor(queue, [&] { return hardware.isConnected() && heard; }));
  EXPECT_NE(hal::readUInt32(hardware, hal::kSystemObject, {selector::kDefaultOutputDevice}),
            hal::kUnknownObject);
}

}  // namespace
}  // namespace mixelot
