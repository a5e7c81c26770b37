// The parts of the PipeWire backend that read what the daemon and the session manager hand us:
// transport types, the default device's JSON, volume params, application identity. No daemon.

#include <gtest/gtest.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>

#include "engine/hal/AudioHardware.h"
#include "engine/hal/pipewire/ApplicationIdentity.h"
#include "engine/hal/pipewire/DefaultNodeName.h"
#include "engine/hal/pipewire/TransportType.h"
#include "engine/hal/pipewire/VolumeParams.h"

namespace mixelot::hal::pipewire {
namespace {

TEST(TransportTypeTest, ReadsBusApiAndProfileOfRealDevices) {
  // As WirePlumber's monitors describe them (node, then its device).
  EXPECT_EQ(transportType({{"node.name", "alsa_output.pci-0000_00_1f.3.analog-stereo"},
                           {"device.api", "alsa"},
                           {"device.profile.name", "analog-stereo"}},
                          {{"device.bus", "pci"}, {"device.form-factor", "internal"}}),
            transport::kBuiltIn);
  // An HDMI output sits on the same PCI card as the speakers.
  EXPECT_EQ(transportType({{"node.name", "alsa_output.pci-0000_00_1f.3.hdmi-stereo-extra1"},
                           {"device.api", "alsa"},
                           {"device.profile.name", "hdmi-stereo-extra1"}},
                          {{"device.bus", "pci"}}),
            transport::kHDMI);
  EXPECT_EQ(
      transportType({{"node.description", "Monitor (DisplayPort 2)"}}, {{"device.bus", "pci"}}),
      transport::kDisplayPort);
  EXPECT_EQ(transportType({{"node.name", "alsa_output.usb-Focusrite_Scarlett-00.analog-stereo"}},
                          {{"device.bus", "usb"}}),
            transport::kUSB);
  EXPECT_EQ(transportType(
                {{"node.name", "bluez_output.AA_BB_CC_DD_EE_FF.1"}, {"device.api", "bluez5"}}, {}),
            transport::kBluetooth);
  EXPECT_EQ(transportType({{"node.name", "raop_sink.living-room.local"}}, {}), transport::kAirPlay);
  // The device's keys count when the node lacks them; a virtual sink has neither.
  EXPECT_EQ(transportType({{"node.name", "card0"}}, {{"device.bus", "usb"}}), transport::kUSB);
  EXPECT_EQ(
      transportType({{"node.name", "speakers"}, {"factory.name", "support.null-audio-sink"}}, {}),
      transport::kUnknown);
}

TEST(DefaultNodeNameTest, ReadsStrictAndRelaxedJsonAndRejectsTheRest) {
  EXPECT_EQ(parseDefaultNodeName(R"({"name":"speakers"})"), "speakers");
  EXPECT_EQ(parseDefaultNodeName(R"({ "name": "alsa_output.pci-0000_00_1f.3.analog-stereo" })"),
            "alsa_output.pci-0000_00_1f.3.analog-stereo");
  EXPECT_EQ(parseDefaultNodeName(R"({ "other": { "name": "x" }, "name": "b\"c" })"), "b\"c");
  EXPECT_EQ(parseDefaultNodeName("{ name = headphones }"), "headphones");
  EXPECT_EQ(parseDefaultNodeName(""), std::nullopt);
  EXPECT_EQ(parseDefaultNodeName("speakers"), std::nullopt);
  EXPECT_EQ(parseDefaultNodeName(R"({"name":""})"), std::nullopt);
  EXPECT_EQ(parseDefaultNodeName(R"({"name":null})"), std::nullopt);
  EXPECT_EQ(parseDefaultNodeName(R"({"name":{"nested":1}})"), std::nullopt);
}

TEST(VolumeParamsTest, CubicScaleMatchesTheDesktopMixers) {
  // wpctl set-volume 0.5 puts 0.125 on the channels.
  EXPECT_FLOAT_EQ(linearFromCubic(0.5f), 0.125f);
  EXPECT_FLOAT_EQ(cubicFromLinear(1.0f), 1.0f);
  EXPECT_FLOAT_EQ(cubicFromLinear(-0.2f), 0.0f);
  for (float v = 0.0f; v <= 1.0f; v += 0.05f)
    EXPECT_NEAR(cubicFromLinear(linearFromCubic(v)), v, 1e-6);
}

TEST(VolumeParamsTest, PropsAndRoutesSurviveTheRoundTripMalformedOnesAreRefused) {
  std::vector<uint8_t> buffer;
  const VolumeState both{std::vector<float>{0.125f, 0.25f}, true};
  EXPECT_EQ(parseVolumeProps(buildVolumeProps(both, buffer)), both);
  const VolumeState muteOnly{std::nullopt, false};
  EXPECT_EQ(parseVolumeProps(buildVolumeProps(muteOnly, buffer)), muteOnly);

  DeviceRoute route;
  route.index = 3;
  route.device = 1;
  auto parsed = parseRoute(buildRouteVolume(route, both, buffer));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->index, 3);
  EXPECT_EQ(parsed->device, 1);
  EXPECT_EQ(parsed->volume, both);

  // Not a Props object, not a route, nothing at all.
  EXPECT_EQ(parseVolumeProps(buildRouteVolume(route, both, buffer)), std::nullopt);
  EXPECT_EQ(parseRoute(buildVolumeProps(both, buffer)), std::nullopt);
  EXPECT_EQ(parseVolumeProps(nullptr), std::nullopt);

  // A Props object whose channelVolumes is not an array of floats, and whose mute is not a
  // boolean, says nothing about either.
  uint8_t raw[256];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(raw, sizeof raw);
  spa_pod_frame frame;
  spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
  spa_pod_builder_prop(&builder, SPA_PROP_channelVolumes, 0);
  spa_pod_builder_int(&builder, 7);
  spa_pod_builder_prop(&builder, SPA_PROP_mute, 0);
  spa_pod_builder_int(&builder, 1);
  const auto* odd = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
  auto state = parseVolumeProps(odd);
  ASSERT_TRUE(state);
  EXPECT_FALSE(state->channelVolumes);
  EXPECT_FALSE(state->mute);
}

TEST(ApplicationIdentityTest, TakesTheStrongestClueThere) {
  IdentityClues clues{.portalAppId = "org.flatpak.App",
                      .applicationId = "org.declared.App",
                      .cgroupScopeId = "org.scope.App",
                      .desktopEntryId = "org.entry.App",
                      .applicationName = "App",
                      .binary = "app-bin"};
  // Strongest first: each clue is taken only once every stronger one is gone.
  for (auto clue :
       {&IdentityClues::portalAppId, &IdentityClues::applicationId, &IdentityClues::cgroupScopeId,
        &IdentityClues::desktopEntryId, &IdentityClues::applicationName, &IdentityClues::binary}) {
    EXPECT_EQ(applicationIdentity(clues), clues.*clue);
    clues.*clue = "";
  }
  EXPECT_EQ(applicationIdentity(clues), "");
}

TEST(ApplicationIdentityTest, ProcessCluesOfAGoneProcessAreEmpty) {
  bool asked = false;
  auto clues = readProcessClues(0, [&](pid_t) {
    asked = true;
    return std::optional<std::string>("x");
  });
  EXPECT_FALSE(asked);
  EXPECT_TRUE(clues.cgroupScopeId.empty() && clues.desktopEntryId.empty());
}

}  // namespace
}  // namespace mixelot::hal::pipewire
