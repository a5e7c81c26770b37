// The engine and the app model on the simulated audio layer. The engine: how its chains are built,
// changed and torn down, their I/O block (the gain ramp against its formula, the block as the audio
// layer runs it, its real-time rules), and the devices and capture permission it reads.
#include "engine/PlaythroughEngine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/AppTapState.h"
#include "engine/AudioDeviceManager.h"
#include "engine/AudioRecordingPermission.h"
#include "engine/Gain.h"
#include "engine/hal/sim/SimAudioSystem.h"
#include "model/DiscoveryRules.h"
#include "model/PerAppAudioManager.h"
#include "platform/ManualMainQueue.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemLog.h"
#include "support/FakePlatform.h"
#include "support/HeapWatch.h"
#include "support/TempFolder.h"

namespace mixelot::testing {
namespace {

using hal::sim::SimAudioSystem;
using Event = SimAudioSystem::Event;

// The simulated audio layer on virtual time, and the engine over it.
class SimTest : public ::testing::Test {
 protected:
  std::shared_ptr<AppTapState> tap(const std::string& id, const std::string& uid) const {
    return engine.chain(id, uid);
  }

  ManualMainQueue queue;
  SimAudioSystem sim{queue};
  CapturingLog log;
  PlaythroughEngine engine{sim, queue};
};

// A machine with a built-in default output device and headphones, one tapped process per app, and
// an engine that has the capture permission.
class EngineTest : public SimTest {
 protected:
  EngineTest() {
    speakers = sim.addDevice({.uid = "BuiltInSpeakers", .name = "Speakers", .inputStreams = 2});
    headphones = sim.addDevice(
        {.uid = "Headphones", .name = "Headphones", .transport = hal::transport::kBluetooth});
    sim.setDefaultOutputDevice(speakers);
    processA = sim.addProcess(101, "com.a");
    processAB = sim.addProcess(102, "com.ab");
    queue.runUntilIdle();
    engine.setPermissionGranted(true);
    // The first look at the default device logs a change from the empty UID; tests start after.
    engine.refreshOutputDevice();
    log.clear();
  }

  // What the simulated system still holds: no part may outlive a failed or removed chain.
  void expectLive(size_t chains) const {
    EXPECT_EQ(sim.liveTaps().size(), chains);
    EXPECT_EQ(sim.liveAggregates().size(), chains);
    EXPECT_EQ(sim.runningIOProcCount(), chains);
  }

  static std::vector<Event> teardown(const AppTapState& state) {
    return {{"deviceStop", state.aggregateDeviceID},
            {"destroyIOProc", state.aggregateDeviceID},
            {"destroyAggregateDevice", state.aggregateDeviceID},
            {"destroyProcessTap", state.tapObjectID}};
  }

  hal::ObjectID speakers = 0, headphones = 0, processA = 0, processAB = 0;
};

using Operation = SimAudioSystem::Operation;

// Every tap the engine makes is private and silences the app while it is tapped.
hal::TapDescription ours(hal::TapDescription tap, const AppTapState& state) {
  tap.uuid = state.tapUUID;
  tap.muteBehavior = hal::TapMuteBehavior::kMutedWhenTapped;
  tap.isPrivate = true;
  return tap;
}

TEST_F(EngineTest, BuildsTheChainOnTheRealDeviceAsDescribed) {
  engine.createTap("com.a", {processA});
  auto state = tap("com.a", "BuiltInSpeakers");
  ASSERT_TRUE(state);
  const hal::ObjectID tapID = state->tapObjectID, aggregateID = state->aggregateDeviceID;
  EXPECT_EQ(sim.events(), (std::vector<Event>{{"createProcessTap", tapID},
                                              {"createAggregateDevice", aggregateID},
                                              {"createIOProc", aggregateID},
                                              {"deviceStart", aggregateID}}));
  // The speakers list two input streams first, so their first output stream is index 2.
  EXPECT_EQ(sim.tapDescription(tapID),
            ours(hal::TapDescription::forDeviceStream({processA}, "BuiltInSpeakers", 2), *state));
  // The aggregate plays this tap on the speakers, named so as to stay out of the device list.
  auto aggregate = sim.aggregateDescription(aggregateID);
  ASSERT_TRUE(aggregate);
  EXPECT_EQ(aggregate->name, "Mixelot-com.a");
  EXPECT_EQ(aggregate->master, "BuiltInSpeakers");
  EXPECT_EQ(aggregate->subdevices.at(0).uid, "BuiltInSpeakers");
  EXPECT_EQ(aggregate->taps.at(0).uid, state->tapUUID);
  EXPECT_NE(aggregate->uid, state->tapUUID);
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "[Mixelot] Tap active for com.a \u2192 BuiltInSpeakers (tap=" +
                             std::to_string(tapID) + " agg=" + std::to_string(aggregateID) + ")"});

  // A routed device gets a chain of its own while the tap stays on the real device; an unknown
  // or empty device UID builds on the real device, under its key.
  engine.createTap("com.a", {processA}, "Headphones");
  auto routed = tap("com.a", "Headphones");
  ASSERT_TRUE(routed);
  EXPECT_EQ(sim.tapDescription(routed->tapObjectID)->deviceUID, "BuiltInSpeakers");
  EXPECT_EQ(sim.aggregateDescription(routed->aggregateDeviceID)->master, "Headphones");
  engine.createTap("com.a", {processA}, "Gone");
  engine.createTap("com.ab", {processAB}, "");
  EXPECT_TRUE(tap("com.ab", "BuiltInSpeakers"));
  EXPECT_EQ(engine.chainCount(), 3u);
}

TEST_F(EngineTest, TapFallsBackToAStereoMixdown) {
  // The device-stream tap fails once; so does, for the second app, reading the stream list.
  sim.addFault({.operation = Operation::kCreateProcessTap, .count = 1});
  engine.createTap("com.a", {processA});
  sim.addFault({.operation = Operation::kGetPropertyData,
                .object = speakers,
                .selector = hal::selector::kStreams});
  engine.createTap("com.ab", {processAB});
  for (auto [id, process] : {std::pair{"com.a", processA}, std::pair{"com.ab", processAB}}) {
    auto state = tap(id, "BuiltInSpeakers");
    ASSERT_TRUE(state) << id;
    EXPECT_EQ(sim.tapDescription(state->tapObjectID),
              ours(hal::TapDescription::stereoMixdown({process}), *state))
        << id;
  }
  EXPECT_EQ(sim.liveTaps().size(), 2u);
}

TEST_F(EngineTest, EveryRemovalTearsDownInTheFixedOrder) {
  // Looking at an unchanged default device removes nothing and logs nothing.
  engine.createTap("com.a", {processA});
  log.clear();
  engine.refreshOutputDevice();
  EXPECT_EQ(engine.chainCount(), 1u);
  EXPECT_TRUE(log.lines().empty());

  const std::function<void()> removals[] = {
      [&] { engine.removeTap("com.a", "BuiltInSpeakers"); }, [&] { engine.removeTaps("com.a"); },
      [&] { engine.stopAll(); },
      [&] {
        log.clear();
        sim.setDefaultOutputDevice(headphones);
        engine.refreshOutputDevice();
        EXPECT_EQ(log.lines(), std::vector<std::string>{"[Mixelot] Output device changed: "
                                                        "BuiltInSpeakers \u2192 Headphones"});
      }};
  for (const auto& remove : removals) {
    sim.setDefaultOutputDevice(speakers);
    engine.refreshOutputDevice();
    engine.createTap("com.a", {processA});
    auto state = tap("com.a", "BuiltInSpeakers");
    ASSERT_TRUE(state);
    sim.clearEvents();
    remove();
    EXPECT_EQ(sim.events(), teardown(*state));
    EXPECT_EQ(engine.chainCount(), 0u);
    expectLive(0);
  }
}

TEST_F(EngineTest, AFailedStepLeavesNoHalfBuiltChain) {
  const std::tuple<Operation, hal::Status, std::string> steps[] = {
      {Operation::kCreateProcessTap, hal::status::kUnspecified, "Failed to create tap for com.a"},
      {Operation::kCreateAggregateDevice, hal::status::kUnspecified,
       "Failed to create aggregate for com.a"},
      // The status is printed as a signed number.
      {Operation::kCreateIOProc, -50, "Failed to create IOProc for com.a: -50"},
      {Operation::kDeviceStart, hal::status::kNotRunning, "Failed to start IOProc for com.a"}};
  for (const auto& [operation, status, line] : steps) {
    SCOPED_TRACE(line);
    log.clear();
    sim.addFault({.operation = operation, .status = status});
    engine.createTap("com.a", {processA});
    EXPECT_FALSE(engine.hasTap("com.a"));
    expectLive(0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[Mixelot] " + line});
    sim.clearFaults();
  }
}

TEST_F(EngineTest, ExistingKeyAndFailedGuardsChangeAndLogNothing) {
  engine.createTap("com.a", {processA});
  auto first = tap("com.a", "BuiltInSpeakers");
  first->targetVolume = 0.3f;
  sim.clearEvents();
  log.clear();

  engine.createTap("com.a", {processA, processAB});
  engine.createTap("com.ab", {});
  engine.setPermissionGranted(false);
  engine.createTap("com.ab", {processAB});
  engine.setPermissionGranted(true);
  sim.setSupportsProcessTaps(false);
  engine.createTap("com.ab", {processAB});
  EXPECT_EQ(engine.chainCount(), 1u);
  EXPECT_EQ(tap("com.a", "BuiltInSpeakers"), first);
  EXPECT_EQ(first->targetVolume.load(), 0.3f);
  EXPECT_TRUE(sim.events().empty());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(EngineTest, FirstTapLooksUpTheDefaultDeviceOrLogsItsAbsence) {
  PlaythroughEngine fresh(sim, queue);
  fresh.setPermissionGranted(true);
  sim.setDefaultOutputDevice(hal::kUnknownObject);
  fresh.createTap("com.a", {processA});
  EXPECT_EQ(fresh.chainCount(), 0u);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"[Mixelot] No real output device found"});
  sim.setDefaultOutputDevice(headphones);
  fresh.createTap("com.a", {processA});
  EXPECT_TRUE(fresh.chain("com.a", "Headphones"));
  fresh.stopAll();
}

TEST_F(EngineTest, AppOperationsMatchWholeBundleIdentifiersOnly) {
  engine.createTap("com.a", {processA});
  engine.createTap("com.a", {processA}, "Headphones");
  engine.createTap("com.ab", {processAB});
  // An id may hold any characters, also those a joined key would be split at.
  engine.createTap("com.a::Headphones", {processAB});
  auto others = {tap("com.ab", "BuiltInSpeakers"), tap("com.a::Headphones", "BuiltInSpeakers")};
  auto speakersChain = tap("com.a", "BuiltInSpeakers"),
       headphonesChain = tap("com.a", "Headphones");

  EXPECT_FALSE(engine.hasTap("com"));
  auto uids = engine.activeDeviceUIDs("com.a");
  std::sort(uids.begin(), uids.end());
  EXPECT_EQ(uids, (std::vector<std::string>{"BuiltInSpeakers", "Headphones"}));

  engine.setAppVolume("com.a", std::nanf(""));
  EXPECT_EQ(speakersChain->targetVolume.load(), 0.0f);
  engine.setAppDeviceVolume("com.a", "Headphones", 0.4f);
  engine.setAppDeviceVolume("com.a", "Nowhere", 0.9f);
  EXPECT_EQ(headphonesChain->targetVolume.load(), 0.4f);
  EXPECT_EQ(speakersChain->targetVolume.load(), 0.0f);
  engine.setAppMuted("com.a", true);
  EXPECT_TRUE(headphonesChain->isMuted.load());
  for (const auto& chain : others) {
    EXPECT_EQ(chain->targetVolume.load(), 1.0f);
    EXPECT_FALSE(chain->isMuted.load());
  }

  engine.removeTaps("com.a");
  EXPECT_FALSE(engine.hasTap("com.a"));
  EXPECT_TRUE(engine.hasTap("com.a::Headphones"));
  EXPECT_EQ(engine.chainCount(), 2u);
  EXPECT_EQ(sim.runningIOProcCount(), 2u);
}

TEST_F(EngineTest, NewProcessListReachesEveryTapOfTheAppInPlaceOrRebuildsOneThatRefusesIt) {
  const hal::ObjectID secondA = sim.addProcess(103, "com.a");
  engine.createTap("com.a", {processA});
  engine.createTap("com.a", {processA}, "Headphones");
  engine.createTap("com.ab", {processAB});
  auto speakersChain = tap("com.a", "BuiltInSpeakers"), old = tap("com.a", "Headphones");
  engine.setAppDeviceVolume("com.a", "Headphones", 0.4f);
  engine.setAppMuted("com.a", true);
  sim.clearEvents();
  log.clear();
  auto processesOf = [&](const std::shared_ptr<AppTapState>& chain) {
    return sim.tapDescription(chain->tapObjectID)->processes;
  };

  engine.updateTapProcesses("com.a", {processA, secondA});
  EXPECT_EQ(sim.events(), (std::vector<Event>{{"set tdsc/glob/0", speakersChain->tapObjectID},
                                              {"set tdsc/glob/0", old->tapObjectID}}));
  for (const auto& chain : {speakersChain, old})
    EXPECT_EQ(processesOf(chain), (std::vector<hal::ObjectID>{processA, secondA}));
  EXPECT_EQ(processesOf(tap("com.ab", "BuiltInSpeakers")), std::vector<hal::ObjectID>{processAB});
  // The same chains (no teardown above), still at their volume and muted; nothing logged.
  EXPECT_EQ(old->targetVolume.load(), 0.4f);
  EXPECT_TRUE(speakersChain->isMuted.load());
  EXPECT_TRUE(log.lines().empty());
  // An empty list or an app without chains: nothing to write.
  sim.clearEvents();
  engine.updateTapProcesses("com.a", {});
  engine.updateTapProcesses("com", {processA});
  EXPECT_TRUE(sim.events().empty());

  // The headphones' tap refuses the next list. Its rebuild waits for its aggregate device; a
  // volume set meanwhile reaches the new chain.
  sim.addFault({.operation = Operation::kSetPropertyData,
                .object = old->tapObjectID,
                .selector = hal::selector::kTapDescription});
  sim.setAggregatesAlive(false);
  queue.post([&] { engine.setAppDeviceVolume("com.a", "Headphones", 0.25f); });
  engine.updateTapProcesses("com.a", {secondA});
  auto rebuilt = tap("com.a", "Headphones");
  ASSERT_TRUE(rebuilt);
  ASSERT_NE(rebuilt, old);
  auto expected = teardown(*old);
  expected.insert(expected.begin(), Event{"set tdsc/glob/0", speakersChain->tapObjectID});
  auto events = sim.events();
  events.resize(expected.size());  // then the new chain, built as any
  EXPECT_EQ(events, expected);
  EXPECT_EQ(sim.liveTaps().size(), 3u);
  EXPECT_EQ(processesOf(rebuilt), std::vector<hal::ObjectID>{secondA});
  EXPECT_EQ(rebuilt->targetVolume.load(), 0.25f);
  EXPECT_TRUE(rebuilt->isMuted.load());
  EXPECT_EQ(tap("com.a", "BuiltInSpeakers"), speakersChain);
  ASSERT_FALSE(log.lines().empty());
  EXPECT_EQ(log.lines().front(), "[Mixelot] Failed to update tap for com.a: " +
                                     std::to_string(hal::status::kUnspecified));

  // When the rebuild fails too, the chain is gone entirely, as any chain that cannot be built.
  sim.setAggregatesAlive(true);
  sim.addFault({.operation = Operation::kSetPropertyData});
  sim.addFault({.operation = Operation::kCreateAggregateDevice});
  engine.updateTapProcesses("com.a", {processA});
  EXPECT_FALSE(engine.hasTap("com.a"));
  expectLive(1);  // com.ab's
}

TEST_F(EngineTest, RemovalDuringTheAliveWaitCancelsTheBuild) {
  sim.setAggregatesAlive(false);
  // The wait runs the main queue; a removal from there must not leave the chain running.
  for (auto removal : {+[](PlaythroughEngine& e) { e.removeTaps("com.a"); },
                       +[](PlaythroughEngine& e) { e.stopAll(); }}) {
    queue.post([&, removal] { removal(engine); });
    engine.createTap("com.a", {processA});
    EXPECT_FALSE(engine.hasTap("com.a"));
    expectLive(0);
  }
  // A nested build of the same key is ignored instead of leaking the outer one.
  queue.post([&] { engine.createTap("com.a", {processA}); });
  engine.createTap("com.a", {processA});
  EXPECT_EQ(engine.chainCount(), 1u);
  EXPECT_EQ(sim.liveAggregates().size(), 1u);

  // A removal followed by a new request (the default device changed and changed back) is a
  // request: the build goes on, with the newer request's processes.
  const hal::ObjectID secondAB = sim.addProcess(104, "com.ab");
  queue.post([&] {
    engine.removeTaps("com.ab");
    engine.createTap("com.ab", {processAB, secondAB});
  });
  engine.createTap("com.ab", {processAB});
  auto revived = tap("com.ab", "BuiltInSpeakers");
  ASSERT_TRUE(revived);
  EXPECT_EQ(sim.tapDescription(revived->tapObjectID)->processes,
            (std::vector<hal::ObjectID>{processAB, secondAB}));
  EXPECT_EQ(sim.runningIOProcCount(), 2u);
}

TEST_F(EngineTest, ChainRebuiltOffItsVanishedDeviceKeepsVolumeAndMuteFromItsFirstCycle) {
  engine.createTap("com.a", {processA}, "Headphones");
  auto old = tap("com.a", "Headphones");
  engine.setAppVolume("com.a", 0.3f);
  engine.setAppMuted("com.a", true);
  sim.addFault({.operation = Operation::kSetPropertyData, .object = old->tapObjectID});
  sim.removeObject(headphones);

  engine.updateTapProcesses("com.a", {processA, sim.addProcess(103, "com.a")});
  auto rebuilt = tap("com.a", "BuiltInSpeakers");
  ASSERT_TRUE(rebuilt);
  EXPECT_FALSE(tap("com.a", "Headphones"));
  EXPECT_EQ(rebuilt->targetVolume.load(), 0.3f);
  EXPECT_TRUE(rebuilt->isMuted.load());
  // Silent from the first sample: no ramp down from full volume.
  std::vector<float> in(512, 0.5f), out(512, 1.0f);
  hal::AudioBuffer input{2, 2048, in.data()}, output{2, 2048, out.data()};
  ASSERT_EQ(sim.runIOCycle(rebuilt->aggregateDeviceID, {&input, 1}, {&output, 1}), 1);
  EXPECT_EQ(out.front(), 0.0f);
  EXPECT_EQ(out.back(), 0.0f);

  // Unmuted, a new chain starts at its volume as well.
  engine.createTap("com.ab", {processAB}, std::nullopt, PlaythroughEngine::StartLevel{0.3f, false});
  EXPECT_FLOAT_EQ(tap("com.ab", "BuiltInSpeakers")->currentGain, 0.3f);
}

using Bytes = std::vector<unsigned char>;

Bytes floats(std::vector<float> samples) {
  Bytes bytes(samples.size() * sizeof(float));
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}
std::vector<float> asFloats(const Bytes& bytes) {
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

// The block as the audio layer runs it: one cycle through the simulated device. Outputs start as
// garbage (0xAB) so that "left silent" shows.
class AppTapStateTest : public EngineTest {
 protected:
  void SetUp() override {
    engine.createTap("com.a", {processA});
    state = tap("com.a", "BuiltInSpeakers");
    ASSERT_TRUE(state);
  }
  void TearDown() override { softwareVolume.store(1.0f); }  // process-wide

  std::vector<Bytes> cycle(std::vector<Bytes> input, std::vector<size_t> outputBytes,
                           const AppTapState* chain = nullptr) {
    std::vector<Bytes> output;
    std::vector<hal::AudioBuffer> in, out;
    for (auto& bytes : input) in.push_back({2, uint32_t(bytes.size()), bytes.data()});
    for (size_t size : outputBytes) output.emplace_back(size, 0xAB);
    for (auto& bytes : output) out.push_back({2, uint32_t(bytes.size()), bytes.data()});
    for (size_t i = 0; i < in.size(); ++i)
      if (input[i].empty()) in[i].data = nullptr;  // a buffer without data
    EXPECT_EQ(sim.runIOCycle((chain ? chain : state.get())->aggregateDeviceID, in, out), 1);
    return output;
  }

  // Buffers of ones of the given lengths; returns every output sample in order.
  std::vector<float> ones(std::vector<size_t> lengths) {
    std::vector<Bytes> input;
    std::vector<size_t> sizes;
    for (size_t length : lengths) {
      input.push_back(floats(std::vector<float>(length, 1.0f)));
      sizes.push_back(length * sizeof(float));
    }
    std::vector<float> all;
    for (auto& bytes : cycle(input, sizes)) {
      auto samples = asFloats(bytes);
      all.insert(all.end(), samples.begin(), samples.end());
    }
    return all;
  }

  std::shared_ptr<AppTapState> state;
};

TEST_F(AppTapStateTest, UnityCopiesEveryByteUnchanged) {
  // Any bit pattern, NaN payloads and subnormals included, and a ragged tail.
  std::mt19937 random(7);
  std::vector<Bytes> input;
  for (size_t size : {4096u, 1u, 1031u}) {
    input.emplace_back(size);
    for (auto& byte : input.back()) byte = static_cast<unsigned char>(random());
  }
  // Within 0.001 of unity is unity and the gain stays; the level meter's copy keeps every bit too.
  state->currentGain = 0.9995f;
  state->targetVolume = 1.0005f;
  for (bool metering : {false, true}) {
    state->isMetering = metering;
    EXPECT_EQ(cycle(input, {4096, 1, 1031}), input);
    EXPECT_EQ(state->currentGain, 0.9995f);
  }
}

TEST_F(AppTapStateTest, MeterReadsThePeakPlayedPerChainAndSilenceAsZero) {
  auto play = [&](const AppTapState& chain, float value) {
    cycle({floats(std::vector<float>(2048, value))}, {2048 * sizeof(float)}, &chain);
  };
  play(*state, 0.5f);  // off, nothing is recorded
  engine.sampleLevels();
  EXPECT_EQ(engine.appLevel("com.a"), 0.0f);

  // On, also for a chain built later; its level is the magnitude it plays, after its volume.
  engine.setLevelMetering(true);
  engine.createTap("com.a", {processA}, "Headphones", PlaythroughEngine::StartLevel{0.5f, false});
  auto headphones = tap("com.a", "Headphones");
  play(*state, -0.5f);
  play(*headphones, 0.5f);
  engine.sampleLevels();
  EXPECT_FLOAT_EQ(engine.deviceLevel("com.a", "BuiltInSpeakers"), 0.5f);
  EXPECT_FLOAT_EQ(engine.deviceLevel("com.a", "Headphones"), 0.25f);
  EXPECT_FLOAT_EQ(engine.appLevel("com.a"), 0.5f);
  EXPECT_EQ(engine.appLevel("com.ab"), 0.0f);

  // Each sample is its own period: silence, or no cycle at all, reads 0.
  play(*state, 0.0f);
  engine.sampleLevels();
  EXPECT_EQ(engine.appLevel("com.a"), 0.0f);
  play(*state, 0.5f);
  engine.setLevelMetering(false);
  EXPECT_EQ(engine.appLevel("com.a"), 0.0f);
  engine.sampleLevels();
  EXPECT_EQ(engine.appLevel("com.a"), 0.0f);
}

TEST_F(AppTapStateTest, MuteRampsTowardsZeroAcrossBuffersAndCycles) {
  // Never cut at once: the ramp's gain is carried over buffers and from one cycle to the next.
  state->isMuted = true;
  auto first = ones({300, 300}), second = ones({300});
  double gain = 1.0;
  for (size_t k = 0; k < 900; ++k) {
    gain += (0.0 - gain) * 0.002;
    ASSERT_NEAR(k < 600 ? first[k] : second[k - 600], gain, 1e-5) << "sample " << k;
  }
  state->isMuted = false;
  EXPECT_NEAR(ones({1})[0], gain + (1.0 - gain) * 0.002, 1e-5);
}

TEST_F(AppTapStateTest, SoftwareVolumeScalesTheTarget) {
  softwareVolume = 0.5f;
  auto out = ones({2048, 2048, 2048, 2048, 2048});
  EXPECT_NEAR(out[0], 1.0 - 0.5 * 0.002, 1e-6);
  EXPECT_NEAR(out.back(), 0.5, 1e-5);

  state->targetVolume = 0.5f;
  for (int i = 0; i < 10; ++i) ones({4096});
  EXPECT_NEAR(ones({1})[0], 0.25, 1e-5);
}

TEST_F(AppTapStateTest, LeavesSilentWhatItDoesNotWrite) {
  for (float target : {1.0f, 0.5f}) {
    SCOPED_TRACE(target);
    state->targetVolume = target;
    auto out = cycle({floats({1, 1}), {}, floats({1, 1, 1}), {1, 2, 3}},
                     {8 + 4, 8, 10, 3, 8});  // longer than the input, no data, ragged, no input
    auto zeros = [](size_t count) { return Bytes(count, 0); };
    EXPECT_GT(asFloats(out[0])[1], 0.4f);
    EXPECT_EQ(Bytes(out[0].begin() + 8, out[0].end()), zeros(4));
    EXPECT_EQ(out[1], zeros(8));
    EXPECT_GT(asFloats(out[2])[1], 0.4f);
    EXPECT_EQ(Bytes(out[2].begin() + 8, out[2].end()), zeros(2));
    // Under one sample: the copy takes the bytes, the ramp writes nothing.
    EXPECT_EQ(out[3], (target == 1.0f ? Bytes{1, 2, 3} : zeros(3)));
    EXPECT_EQ(out[4], zeros(8));
  }
}

TEST_F(AppTapStateTest, GarbledSharedValuesCannotPoisonTheRamp) {
  // The engine clamps, but the model may write the shared values directly.
  state->targetVolume = std::nanf("");
  EXPECT_FALSE(std::isnan(ones({4})[3]));
  state->targetVolume = 1.0f;
  softwareVolume = 7.0f;
  ones({8192});
  EXPECT_LE(state->currentGain, 1.0f);
}

using gain::applyRamp;
using gain::processBuffers;

std::vector<float> noise(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
  std::vector<float> samples(count);
  for (auto& value : samples) value = sample(random);
  return samples;
}

// The block form against the per-sample formula run in double precision, over buffers of awkward
// lengths (shorter than a block, one over, odd) chained so the ramp crosses every boundary. The
// bounds are what the closed form achieves: its gain within 1e-7 of the formula (8.2e-8 here), a
// sample within two roundings of a full-scale float (1.18e-7 here). The formula run sample by
// sample in 32-bit floats drifts to 1.5e-5, and a power table off by 2e-7 gives 3e-7, so a looser
// bound would let either pass.
constexpr double kGainTolerance = 1e-7;
constexpr double kSampleTolerance = 1.5e-7;

TEST(Gain, RampFollowsThePerSampleFormulaAtEverySample) {
  const size_t lengths[] = {1, 7, 31, 32, 33, 1000, 2048, 4099, 3, 2048, 2048, 2048, 2048};
  for (auto [from, to] : {std::pair{1.0f, 0.0f}, std::pair{0.0f, 1.0f}, std::pair{0.2f, 0.7f},
                          std::pair{0.9f, 0.35f}, std::pair{0.25f, 0.25f}}) {
    SCOPED_TRACE(::testing::Message() << from << " -> " << to);
    float gain = from;
    double reference = from;
    size_t at = 0;
    for (size_t length : lengths) {
      auto input = noise(length, static_cast<unsigned>(at));
      std::vector<float> output(length);
      gain = applyRamp(input.data(), output.data(), length, gain, to);
      for (size_t i = 0; i < length; ++i, ++at) {
        reference += (static_cast<double>(to) - reference) * 0.002;
        ASSERT_NEAR(output[i], input[i] * reference, kSampleTolerance) << "sample " << at;
      }
      ASSERT_NEAR(gain, reference, kGainTolerance);
    }
  }
}

TEST(Gain, RampSnapsToItsTargetInsteadOfCreepingIntoSubnormals) {
  std::vector<float> input(2048, 1.0f), output(2048);
  float gain = 1.0f;
  int buffers = 0;
  for (; gain != 0.0f && buffers < 100; ++buffers) {
    gain = applyRamp(input.data(), output.data(), input.size(), gain, 0.0f);
    ASSERT_NE(std::fpclassify(gain), FP_SUBNORMAL);
    for (float value : output) ASSERT_NE(std::fpclassify(value), FP_SUBNORMAL);
  }
  // 0.998^k falls below 2^-24 after about 8,300 samples: the fifth buffer.
  EXPECT_EQ(buffers, 5);
  // Zero is exact silence from then on, and the snap point is mid-buffer.
  EXPECT_EQ(output.back(), 0.0f);
  EXPECT_GT(output.front(), 0.0f);

  // Upwards it lands exactly on unity, so the next cycle takes the copy path.
  gain = 0.5f;
  for (int i = 0; i < 10; ++i) gain = applyRamp(input.data(), output.data(), 2048, gain, 1.0f);
  EXPECT_EQ(gain, 1.0f);
}

// The level meter sees exactly what is written, on every path (the copy, the ramp with its tail,
// a constant gain, silence), and writes exactly what the plain block writes.
TEST(Gain, MeterReportsTheLargestMagnitudeWrittenAndChangesNothing) {
  for (size_t length : {1, 63, 64, 65, 1000, 2055}) {
    for (auto [from, to] : {std::pair{1.0f, 1.0f}, std::pair{1.0f, 0.0f}, std::pair{0.3f, 0.9f},
                            std::pair{0.25f, 0.25f}, std::pair{0.0f, 0.0f}}) {
      SCOPED_TRACE(::testing::Message() << length << " samples, " << from << " -> " << to);
      auto input = noise(length, static_cast<unsigned>(length));
      std::vector<float> plain(length), metered(length);
      hal::AudioBuffer in{2, static_cast<uint32_t>(length * sizeof(float)), input.data()};
      hal::AudioBuffer out{2, in.dataByteSize, plain.data()};
      const float plainGain = processBuffers({&in, 1}, {&out, 1}, from, to);
      out.data = metered.data();
      float peak = 0.0f;
      EXPECT_EQ(processBuffers({&in, 1}, {&out, 1}, from, to, &peak), plainGain);
      EXPECT_EQ(plain, metered);
      float largest = 0.0f;
      for (float sample : metered) largest = std::max(largest, std::fabs(sample));
      EXPECT_EQ(peak, largest);
    }
  }
}

// The I/O block runs on the audio backend's real-time thread: it may not touch the heap, and it
// shares only relaxed atomics with the main thread. The first test counts heap use while a cycle
// runs (support/HeapWatch); the second is for the thread sanitizer build, which fails on any
// unsynchronised access between the threads.
class RealtimeTest : public AppTapStateTest {
 protected:
  void SetUp() override {
    AppTapStateTest::SetUp();
    for (size_t i = 0; i < 5; ++i) {
      samples[i].assign(2048, i < 2 ? 0.5f : 0.0f);
      buffers[i] = {2, static_cast<uint32_t>(samples[i].size() * sizeof(float)), samples[i].data()};
    }
  }
  // Two input buffers, three output buffers.
  int cycle() {
    return sim.runIOCycle(state->aggregateDeviceID, std::span(buffers).first(2),
                          std::span(buffers).last(3));
  }

  std::vector<float> samples[5];
  hal::AudioBuffer buffers[5];
};

TEST_F(RealtimeTest, CycleNeverTouchesTheHeap) {
  if (!heapWatchWorks()) GTEST_SKIP() << "the sanitizer runtime owns the allocator";
  {
    // The detector itself works.
    RealtimeScope realtime;
    delete new volatile int(1);
  }
  ASSERT_GT(takeHeapTouches(), 0);

  // Every path of the block, metered: copy, ramp, mute, software volume, and back to the copy.
  engine.setLevelMetering(true);
  int ran = 0;
  auto run = [&](int cycles) {
    RealtimeScope realtime;
    for (int i = 0; i < cycles; ++i) ran += cycle();
  };
  run(3);
  state->targetVolume = 0.3f;
  run(3);
  state->isMuted = true;
  run(10);
  state->isMuted = false;
  softwareVolume = 0.5f;
  run(3);
  state->targetVolume = 1.0f;
  softwareVolume = 1.0f;
  run(20);
  EXPECT_EQ(ran, 39);
  EXPECT_TRUE(gain::isUnity(state->currentGain, 1.0f));
  EXPECT_EQ(takeHeapTouches(), 0);
}

TEST_F(RealtimeTest, MainThreadChangesVolumesWhileTheBlockRuns) {
  std::atomic<bool> stop{false};
  std::atomic<int> cycles{0};
  std::thread audio([&] {
    while (!stop.load()) cycles += cycle();
  });
  for (int i = 0; cycles.load() < 2000 && i < 2'000'000; ++i) {
    state->targetVolume.store(static_cast<float>(i % 11) / 10.0f, std::memory_order_relaxed);
    state->isMuted.store(i % 7 == 0, std::memory_order_relaxed);
    softwareVolume.store(i % 3 == 0 ? 0.5f : 1.0f, std::memory_order_relaxed);
    engine.setAppVolume("com.a", static_cast<float>(i % 5) / 4.0f);
    engine.setAppMuted("com.a", i % 13 == 0);
    if (i % 17 == 0) engine.setLevelMetering(i % 34 == 0);
    engine.sampleLevels();
  }
  // Teardown while cycles keep coming: the stop waits for a running cycle.
  engine.removeTaps("com.a");
  stop = true;
  audio.join();

  EXPECT_GE(cycles.load(), 1);
  EXPECT_TRUE(state->currentGain >= 0.0f && state->currentGain <= 1.0f);
  EXPECT_TRUE(state->level >= 0.0f && state->level <= 0.5f);
  for (const auto& buffer : samples)
    for (float sample : buffer) ASSERT_TRUE(sample >= 0.0f && sample <= 0.5f);
}

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

// The app model (PerAppAudioManager) over the engine: which processes make up which apps, and each
// app's volume, mute and routing, and what of them is saved and read back.
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testsupport::FakePermissionService;
using testsupport::FakeProcessInfo;
using testsupport::FakeWorkspace;

// A machine with two output devices (A the default), an engine with the capture permission, a
// fresh preferences folder, and the manager made on demand so each test can prepare the store and
// the running processes first. Time is virtual.
class ModelTest : public SimTest {
 protected:
  ModelTest() {
    deviceA = sim.addDevice({.uid = "A", .name = "Speakers"});
    deviceB = sim.addDevice({.uid = "B", .name = "Headphones"});
    sim.setDefaultOutputDevice(deviceA);
    engine.setPermissionGranted(true);
    queue.runUntilIdle();
  }

  void makeManager(bool withEngine = true, AudioRecordingPermission* permission = nullptr) {
    manager = std::make_unique<PerAppAudioManager>(sim, queue, prefs, workspace, processInfo,
                                                   withEngine ? &engine : nullptr, permission);
  }

  // A running application bundle (one with a desktop entry).
  void runApp(pid_t pid, const std::string& bundleID, const std::string& name,
              bool isBundle = true) {
    workspace.applications.push_back({pid, bundleID, isBundle, name, "icon-" + name});
  }
  // A process object producing output; the list change schedules a pass.
  hal::ObjectID play(pid_t pid, const std::string& bundleID) {
    return sim.addProcess(pid, bundleID);
  }
  // Both: an application playing from one process.
  hal::ObjectID playApp(pid_t pid, const std::string& bundleID, const std::string& name) {
    runApp(pid, bundleID, name);
    return play(pid, bundleID);
  }
  void settle() { queue.runUntilIdle(); }
  // The default output device changes, and the engine and the manager hear of it in turn.
  void switchDefaultTo(hal::ObjectID device) {
    sim.setDefaultOutputDevice(device);
    engine.refreshOutputDevice();
    manager->outputDeviceChanged();
    manager->refreshApps();
  }

  std::vector<std::string> ids() const {
    std::vector<std::string> out;
    for (const auto& app : manager->audioApps().get()) out.push_back(app.id);
    return out;
  }
  const AudioApp* app(const std::string& id) const {
    for (const auto& app : manager->audioApps().get())
      if (app.id == id) return &app;
    return nullptr;
  }
  std::vector<std::string> taps(const std::string& id) const {
    auto uids = engine.activeDeviceUIDs(id);
    std::sort(uids.begin(), uids.end());
    return uids;
  }
  float target(const std::string& id, const std::string& uid) const {
    auto state = tap(id, uid);
    return state ? state->targetVolume.load() : -1.0f;
  }
  bool tapMuted(const std::string& id, const std::string& uid) const {
    auto state = tap(id, uid);
    return state && state->isMuted.load();
  }

  testsupport::TempFolder folder;
  PreferencesStore prefs{folder.path(), queue};
  FakeWorkspace workspace;
  FakeProcessInfo processInfo;
  std::unique_ptr<PerAppAudioManager> manager;
  hal::ObjectID deviceA = 0, deviceB = 0;
};

TEST_F(ModelTest, ProcessesFoldIntoTheirApplication) {
  auto first = playApp(100, "org.example.Player", "Player");
  auto second = play(100, "org.example.Player");
  // A helper without an application of its own, two levels below the player.
  processInfo.chain({102, 101, 100});
  runApp(102, "org.example.Player.gpu", "not a bundle", /*isBundle=*/false);
  auto helper = play(102, "org.example.Player.gpu");
  // Through the helper table: no application and no ancestor, only its bundle identifier.
  runApp(200, "com.google.Chrome", "Chrome");
  auto renderer = play(201, "com.google.Chrome.helper.renderer");
  // Through the dot rule.
  runApp(300, "com.example.tool", "Tool");
  auto worker = play(301, "com.example.tool.worker");
  // An application six steps up is out of reach; five steps up is found.
  runApp(40, "org.example.Far", "Far");
  processInfo.chain({46, 45, 44, 43, 42, 41, 40});
  play(46, "none");
  runApp(50, "org.example.Near", "Near");
  processInfo.chain({55, 54, 53, 52, 51, 50});
  play(55, "none");
  // Read through 'prun' when 'piro' cannot be read.
  auto radio = playApp(400, "org.example.Radio", "radio");
  sim.addFault({.operation = SimAudioSystem::Operation::kGetPropertyData,
                .object = radio,
                .selector = hal::selector::kProcessIsRunningOutput});
  makeManager();

  ASSERT_THAT(ids(), ElementsAre("com.google.Chrome", "org.example.Near", "org.example.Player",
                                 "org.example.Radio", "com.example.tool"));
  EXPECT_THAT(app("org.example.Player")->processObjectIDs, ElementsAre(first, second, helper));
  EXPECT_EQ(app("org.example.Player")->name, "Player");
  EXPECT_EQ(app("org.example.Player")->icon, "icon-Player");
  EXPECT_THAT(app("com.google.Chrome")->processObjectIDs, ElementsAre(renderer));
  EXPECT_THAT(app("com.example.tool")->processObjectIDs, ElementsAre(worker));
  EXPECT_THAT(taps("org.example.Player"), ElementsAre("A"));
}

TEST_F(ModelTest, FiltersKeepOutOurselvesHiddenNonAudioAndSystemProcesses) {
  playApp(processInfo.ownPid, "org.example.Self", "Self");
  // Our own id under another PID, a file manager, system helpers, the sound server, a hidden app.
  pid_t pid = 0;
  for (auto id :
       {"com.corvana.Mixelot", "com.apple.finder", "com.apple.audio.Helper",
        "com.apple.cmioAssistant", "pipewire-pulse", "org.example.Hidden", "org.example.Kept"}) {
    runApp(++pid, id, id);
    play(pid, id);
  }
  prefs.set("hiddenApps", std::vector<std::string>{"org.example.Hidden"});
  runApp(20, "org.example.Silent", "Silent");
  sim.addProcess(20, "org.example.Silent", /*isRunningOutput=*/false);
  makeManager();
  EXPECT_THAT(ids(), ElementsAre("org.example.Kept"));
}

TEST_F(ModelTest, ChainsFollowTheProcessesAnAppStartsAndEnds) {
  auto first = playApp(100, "org.example.Browser", "Browser");
  makeManager();
  manager->setRouting("org.example.Browser", {"A", "B"});
  manager->setVolume("org.example.Browser", 0.3f);
  const std::vector chains{tap("org.example.Browser", "A"), tap("org.example.Browser", "B")};
  ASSERT_TRUE(chains[0] && chains[1]);
  // Each change writes the taps' process lists in place: nothing built, nothing torn down.
  auto expectTapped = [&](std::vector<hal::ObjectID> processes, size_t writes) {
    for (const auto& chain : chains) {
      EXPECT_EQ(sim.tapDescription(chain->tapObjectID)->processes, processes);
      EXPECT_FLOAT_EQ(chain->targetVolume.load(), 0.3f);
    }
    EXPECT_EQ(sim.events().size(), writes);
    for (const auto& event : sim.events()) EXPECT_EQ(event.operation, "set tdsc/glob/0");
    EXPECT_EQ(tap("org.example.Browser", "A"), chains[0]);
    sim.clearEvents();
  };
  sim.clearEvents();

  // A helper process starts playing: both chains tap it too, from the pass its arrival triggers.
  processInfo.chain({101, 100});
  auto helper = play(101, "org.example.Browser.audio");
  settle();
  expectTapped({first, helper}, 2);
  queue.advance(Seconds(6.0));  // passes that find the same processes write nothing
  expectTapped({first, helper}, 0);
  sim.removeObject(first);
  settle();
  expectTapped({helper}, 2);
}

TEST_F(ModelTest, ASilentAppIsNotRetriedAndLeavesWithItsTapsAfterTheGracePeriod) {
  const std::string failure = "[Mixelot] Failed to create tap for org.example.Player";
  sim.addFault({.operation = SimAudioSystem::Operation::kCreateProcessTap});
  auto process = playApp(100, "org.example.Player", "Player");
  auto setPlaying = [&](bool playing) {
    sim.setProperty(process, {hal::selector::kProcessIsRunningOutput, hal::scope::kOutput},
                    uint32_t{playing});
  };
  makeManager();
  EXPECT_TRUE(log.contains(failure));
  log.clear();
  queue.advance(Seconds(3.0));
  EXPECT_EQ(log.lines(), std::vector<std::string>{failure});

  // Silent, it stays listed, and no pass tries its old processes again.
  setPlaying(false);
  log.clear();
  sim.clearEvents();
  queue.advance(Seconds(6.0));
  EXPECT_THAT(ids(), ElementsAre("org.example.Player"));
  EXPECT_THAT(log.lines(), IsEmpty());
  EXPECT_THAT(sim.events(), IsEmpty());

  // Playing again, it is tried again; and built once the layer lets it.
  setPlaying(true);
  queue.advance(Seconds(3.0));
  EXPECT_EQ(log.lines(), std::vector<std::string>{failure});
  sim.clearFaults();
  queue.advance(Seconds(3.0));
  EXPECT_THAT(taps("org.example.Player"), ElementsAre("A"));

  // Silent for good: passes 3, 6, 9 and 9.99 s on keep it and its chain; the 12 s pass ends both.
  setPlaying(false);
  queue.advance(Seconds(9.0));
  EXPECT_THAT(taps("org.example.Player"), ElementsAre("A"));
  queue.advance(Seconds(0.99));
  manager->refreshApps();
  EXPECT_THAT(ids(), ElementsAre("org.example.Player"));
  queue.advance(Seconds(2.1));
  EXPECT_THAT(ids(), IsEmpty());
  EXPECT_FALSE(manager->lastSeenDates()->count("org.example.Player"));
  EXPECT_TRUE(sim.liveTaps().empty());
}

TEST_F(ModelTest, PublishesOnlyRealChanges) {
  playApp(100, "org.example.Zoom", "Zoom");
  makeManager();
  int changes = 0;
  auto subscription = manager->audioApps().observe([&] { ++changes; });

  // A second process of a listed app changes only processObjectIDs: no notification, but the
  // record carries the new object for chains built later.
  auto extra = play(100, "org.example.Zoom");
  queue.advance(Seconds(3.0));
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(app("org.example.Zoom")->processObjectIDs.back(), extra);
  // Two arrivals, one coalesced pass.
  for (auto [pid, id] : {std::pair{200, "org.example.Safari"}, {300, "org.example.Alpha"}}) {
    playApp(pid, id, id);
  }
  settle();
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(ids().size(), 3u);
}

TEST_F(ModelTest, MonitoringStopsAndPassesNeverOverlap) {
  playApp(100, "org.example.Player", "Player");
  makeManager();
  EXPECT_EQ(sim.listenerCount(), 1u);
  EXPECT_TRUE(manager->isMonitoring());

  // A chain that takes its time to come alive runs the main queue while it waits: a pass asked
  // for meanwhile waits for the running one, and a volume set meanwhile is not overwritten by
  // the pass's copy of the list.
  sim.setAggregatesAlive(false);
  playApp(200, "org.example.Radio", "Radio");
  int passes = 0;
  auto counter = manager->lastSeenDates().observe([&] { ++passes; });
  queue.post([&] { manager->setVolume("org.example.Player", 0.3f); });
  queue.post([&] { manager->refreshApps(); });
  manager->refreshApps();
  EXPECT_EQ(passes, 1);
  settle();
  EXPECT_EQ(passes, 2);  // the one asked for meanwhile, after the first
  EXPECT_FLOAT_EQ(app("org.example.Player")->currentVolume, 0.3f);
  EXPECT_FLOAT_EQ(target("org.example.Player", "A"), 0.3f);
  EXPECT_THAT(taps("org.example.Radio"), ElementsAre("A"));

  manager->stopMonitoring();
  EXPECT_EQ(sim.listenerCount(), 0u);
  EXPECT_FALSE(manager->isMonitoring());
  play(200, "org.example.Radio");
  queue.advance(Seconds(30.0));
  EXPECT_EQ(app("org.example.Radio")->processObjectIDs.size(), 1u);  // no pass ran

  // Passes already queued do nothing once the manager is gone.
  manager->startMonitoring();
  play(100, "org.example.Player");
  manager.reset();
  EXPECT_EQ(sim.listenerCount(), 0u);
  queue.advance(Seconds(10.0));
}

TEST_F(ModelTest, ANewAppsRowKeepsWhatChangedWhileItsFirstChainCameAlive) {
  const std::string player = "org.example.Player";
  makeManager();
  playApp(100, player, "Player");
  sim.setAggregatesAlive(false);
  queue.post([&] {
    manager->setVolume(player, 0.4f);
    manager->setRouting(player, {"B"});
  });
  manager->refreshApps();
  settle();
  EXPECT_FLOAT_EQ(app(player)->currentVolume, 0.4f);
  EXPECT_THAT(app(player)->selectedOutputDeviceUIDs, ElementsAre("B"));
  EXPECT_THAT(taps(player), ElementsAre("B"));
  EXPECT_FLOAT_EQ(target(player, "B"), 0.4f);
  // The next save stores the row's volume, which is the right one.
  manager->setVolume("org.example.Other", 0.1f);
  EXPECT_FLOAT_EQ(prefs.floatTable("savedVolumes")->at(player), 0.4f);
}

TEST_F(ModelTest, PermissionGrantedLaterBuildsTheChains) {
  playApp(100, "org.example.Player", "Player");
  engine.setPermissionGranted(false);
  FakePermissionService service;
  service.status = AudioPermissionStatus::denied;
  AudioRecordingPermission permission(service, queue);
  makeManager(/*withEngine=*/true, &permission);
  EXPECT_THAT(ids(), ElementsAre("org.example.Player"));
  EXPECT_FALSE(engine.hasTap("org.example.Player"));

  for (auto status : {AudioPermissionStatus::unknown, AudioPermissionStatus::authorized}) {
    service.status = status;
    permission.refreshStatus();
    settle();
    EXPECT_EQ(engine.permissionGranted(), status == AudioPermissionStatus::authorized);
  }
  EXPECT_TRUE(engine.hasTap("org.example.Player"));
  manager.reset();
}

TEST(DiscoveryRulesTest, DotRuleIgnoresEmptyComponentsAndNeedsABundle) {
  RunningAppIndex index({{10, "com.example.tool", true, "Tool", std::nullopt},
                         {11, "org.example", true, "Example", std::nullopt},
                         {12, "net.example.cli", false, "Cli", std::nullopt},
                         {13, "com.google.Chrome.helper", true, "Helper", std::nullopt}});
  auto owner = [&](std::string id) {
    const auto* app = findAppForHelper(id, index);
    return app ? *app->bundleIdentifier : std::string("none");
  };
  EXPECT_EQ(owner("com.example.tool.worker"), "com.example.tool");
  EXPECT_EQ(owner(".com..example.tool.worker."), "com.example.tool");
  EXPECT_EQ(owner("org.example.worker"), "org.example");
  EXPECT_EQ(owner("example.worker"), "none");
  EXPECT_EQ(owner("net.example.cli.worker"), "none");  // not an application bundle
  // A helper table match is final: its application is not running, so the dot rule is not tried.
  EXPECT_EQ(owner("com.google.Chrome.helper.renderer"), "none");
  EXPECT_EQ(findAppForHelper(std::nullopt, index), nullptr);
}

TEST(DiscoveryRulesTest, LinuxShellsFileManagersAndTerminalsAreNeverListedTheirNeighboursAre) {
  for (auto id : {"org.gnome.Nautilus", "org.kde.dolphin", "org.gnome.Terminal", "org.kde.konsole",
                  "kitty", "com.corvana.Mixelot"})
    EXPECT_TRUE(isNonAudioApp(id)) << id;
  for (auto id :
       {"org.gnome.Shell", "org.gnome.Shell.Extensions", "org.kde.plasmashell", "pipewire-pulse"})
    EXPECT_TRUE(isSystemProcess(id)) << id;
  // Exact ids for apps: a player whose id merely starts like a terminal's stays.
  for (auto id : {"org.gnome.TerminalPlayer", "kitty-radio", "org.gnome.Rhythmbox3", "mpv"})
    EXPECT_FALSE(isNonAudioApp(id) || isSystemProcess(id)) << id;
}

constexpr const char* kPlayer = "org.example.Player";
constexpr const char* kRadio = "org.example.Radio";

// Player and Radio playing, the manager made.
class PlayingTest : public ModelTest {
 protected:
  PlayingTest() {
    playApp(100, "org.example.Player", "Player");
    playApp(200, "org.example.Radio", "Radio");
    makeManager();
  }
  std::optional<float> storedVolume(const std::string& id) const {
    auto table = prefs.floatTable("savedVolumes");
    if (!table || !table->count(id)) return std::nullopt;
    return table->at(id);
  }
  std::optional<std::vector<std::string>> storedRouting() const {
    auto table = prefs.stringListTable("appDeviceRouting");
    if (!table || !table->count(kPlayer)) return std::nullopt;
    return table->at(kPlayer);
  }
};

TEST_F(PlayingTest, SetVolumeClampsUnmutesAndIsRemembered) {
  manager->setVolume(kPlayer, 1.7f);
  EXPECT_EQ(app(kPlayer)->currentVolume, 1.0f);
  manager->setVolume(kPlayer, std::nanf(""));
  EXPECT_EQ(app(kPlayer)->currentVolume, 0.0f);
  EXPECT_EQ(storedVolume(kPlayer), 0.0f);
  EXPECT_FALSE(app(kPlayer)->isMuted);  // dragged to zero is not muted

  manager->toggleMute(kPlayer);
  manager->setVolume(kPlayer, 0.7f);
  EXPECT_FALSE(app(kPlayer)->isMuted);
  EXPECT_FALSE(tapMuted(kPlayer, "A"));
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.7f);
  EXPECT_EQ(storedVolume(kPlayer), 0.7f);
  // An app that is not listed still has its volume remembered.
  manager->setVolume("org.example.Later", 0.4f);
  EXPECT_EQ(storedVolume("org.example.Later"), 0.4f);
}

TEST_F(PlayingTest, MuteKeepsTheVolumeToComeBackTo) {
  manager->setVolume(kPlayer, 0.3f);
  manager->toggleMute(kPlayer);
  EXPECT_TRUE(app(kPlayer)->isMuted);
  EXPECT_EQ(app(kPlayer)->currentVolume, 0.0f);
  EXPECT_TRUE(tapMuted(kPlayer, "A"));
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.3f);  // the ramp to silence comes from the mute flag
  EXPECT_EQ(storedVolume(kPlayer), 0.3f);
  manager->toggleMute("org.example.NotListed");  // nothing at all
  EXPECT_FALSE(manager->mutedStates()->count("org.example.NotListed"));

  // Muting all keeps the earlier mute; unmuting all restores each app's volume.
  manager->setVolume(kRadio, 0.8f);
  EXPECT_FALSE(manager->allAppsMuted());
  EXPECT_TRUE(manager->muteAll());
  EXPECT_TRUE(manager->allAppsMuted());
  EXPECT_TRUE(tapMuted(kRadio, "A"));
  EXPECT_FALSE(manager->muteAll());  // nothing left to mute
  manager->unmuteAll();
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.3f);
  EXPECT_FLOAT_EQ(app(kRadio)->currentVolume, 0.8f);
  EXPECT_FALSE(tapMuted(kPlayer, "A"));
  EXPECT_FALSE(tapMuted(kRadio, "A"));
  EXPECT_TRUE(manager->preMuteVolumes()->empty());

  // A toggled unmute leaves the pre-mute volume behind, but a volume set since is newer and wins.
  manager->toggleMute(kPlayer);
  manager->toggleMute(kPlayer);
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.3f);
  EXPECT_EQ(manager->preMuteVolumes()->count(kPlayer), 1u);
  manager->setVolume(kPlayer, 0.9f);
  manager->unmuteAll();
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.9f);
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.9f);
}

TEST_F(PlayingTest, VolumesFollowTheDefaultDeviceAndBack) {
  manager->setVolume(kPlayer, 0.3f);
  manager->toggleMute(kRadio);
  switchDefaultTo(deviceB);
  EXPECT_EQ(*manager->currentDeviceUID(), "B");
  // A device never seen starts from the volumes just saved for the old one; mutes are lifted.
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.3f);
  EXPECT_FLOAT_EQ(target(kPlayer, "B"), 0.3f);
  EXPECT_FALSE(app(kRadio)->isMuted);
  EXPECT_FALSE(tapMuted(kRadio, "B"));
  manager->setVolume(kPlayer, 0.9f);

  switchDefaultTo(deviceA);
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.3f);
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.3f);
  switchDefaultTo(deviceB);
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.9f);
  EXPECT_FLOAT_EQ(prefs.nestedFloatTable("deviceSpecificVolumes")->at("A").at(kPlayer), 0.3f);
}

TEST_F(ModelTest, ChainsRebuiltOnANewDefaultDevicePlayWhatTheRowShows) {
  // B has a table of its own that does not know the player: the switch puts it at 1.0, not at
  // the default volume meant for new apps.
  prefs.set("defaultVolume", 0.5f);
  prefs.set("deviceSpecificVolumes",
            std::map<std::string, std::map<std::string, float>>{{"B", {{"org.example.X", 0.2f}}}});
  playApp(100, "org.example.Player", "Player");
  makeManager();
  ASSERT_FLOAT_EQ(target("org.example.Player", "A"), 0.5f);
  switchDefaultTo(deviceB);
  EXPECT_FLOAT_EQ(app("org.example.Player")->currentVolume, 1.0f);
  EXPECT_FLOAT_EQ(target("org.example.Player", "B"), 1.0f);
  EXPECT_FLOAT_EQ(tap("org.example.Player", "B")->currentGain, 1.0f);
}

TEST_F(PlayingTest, MutedAppComingBackStartsMuted) {
  manager->setVolume(kPlayer, 0.5f);
  manager->toggleMute(kPlayer);
  for (auto object : app(kPlayer)->processObjectIDs) sim.removeObject(object);
  queue.advance(Seconds(12.0));
  ASSERT_EQ(app(kPlayer), nullptr);
  ASSERT_TRUE(taps(kPlayer).empty());

  play(100, kPlayer);
  settle();
  ASSERT_NE(app(kPlayer), nullptr);
  EXPECT_TRUE(app(kPlayer)->isMuted);
  EXPECT_EQ(app(kPlayer)->currentVolume, 0.0f);
  EXPECT_TRUE(tapMuted(kPlayer, "A"));
  EXPECT_EQ(target(kPlayer, "A"), 0.0f);
  manager->toggleMute(kPlayer);
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.5f);
}

TEST_F(PlayingTest, TogglesCreateAndRemoveExactlyTheRightTaps) {
  ASSERT_THAT(taps(kPlayer), ElementsAre("A"));
  // Toggling the default device on an app that follows it changes no chain.
  sim.clearEvents();
  manager->toggleDeviceRouting(kPlayer, "A");
  EXPECT_THAT(app(kPlayer)->selectedOutputDeviceUIDs, ElementsAre("A"));
  EXPECT_THAT(sim.events(), IsEmpty());

  manager->toggleDeviceRouting(kPlayer, "B");
  EXPECT_THAT(storedRouting().value(), ElementsAre("A", "B"));
  EXPECT_THAT(taps(kPlayer), ElementsAre("A", "B"));
  auto tapOnB = tap(kPlayer, "B");
  manager->toggleDeviceRouting(kPlayer, "A");
  EXPECT_THAT(taps(kPlayer), ElementsAre("B"));
  EXPECT_EQ(tap(kPlayer, "B"), tapOnB);  // untouched

  // Back to following the default device: the entry leaves the stored table.
  manager->toggleDeviceRouting(kPlayer, "B");
  EXPECT_THAT(app(kPlayer)->selectedOutputDeviceUIDs, IsEmpty());
  EXPECT_EQ(storedRouting(), std::nullopt);
  EXPECT_THAT(taps(kPlayer), ElementsAre("A"));
  EXPECT_EQ(sim.liveTaps().size(), 2u);  // with Radio's

  // An app not listed keeps its routing for later; no chain is built for it.
  manager->setRouting("org.example.Later", {"B", "B"});
  EXPECT_THAT(manager->savedRouting()->at("org.example.Later"), ElementsAre("B"));
  EXPECT_THAT(taps("org.example.Later"), IsEmpty());

  // A new tap of a muted app starts muted.
  manager->toggleMute(kPlayer);
  manager->toggleDeviceRouting(kPlayer, "B");
  EXPECT_TRUE(tapMuted(kPlayer, "B"));
}

TEST_F(PlayingTest, PerDeviceVolumesAndTheMasterVolume) {
  manager->setVolume(kPlayer, 0.8f);
  manager->setRouting(kPlayer, {"A", "B"});
  manager->setDeviceVolume(kPlayer, "B", 0.25f);
  EXPECT_FLOAT_EQ(target(kPlayer, "B"), 0.25f);
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.8f);
  EXPECT_FLOAT_EQ(app(kPlayer)->perDeviceVolumes.at("B"), 0.25f);

  manager->setVolume(kPlayer, 0.5f);
  EXPECT_FLOAT_EQ(target(kPlayer, "B"), 0.5f);
  EXPECT_FLOAT_EQ(prefs.nestedFloatTable("appPerDeviceVolumes")->at(kPlayer).at("B"), 0.25f);

  // A chain built anew starts at its device's own volume.
  manager->setRouting(kPlayer, {"A"});
  manager->setRouting(kPlayer, {"A", "B"});
  EXPECT_FLOAT_EQ(target(kPlayer, "B"), 0.25f);
}

TEST_F(PlayingTest, AbsentDeviceFallsBackToTheDefaultAtTheAppsVolume) {
  manager->setVolume(kPlayer, 0.2f);
  manager->setRouting(kPlayer, {"Gone"});
  EXPECT_THAT(storedRouting().value(), ElementsAre("Gone"));
  // The engine builds it on the default device, under that key; not at full volume.
  EXPECT_THAT(taps(kPlayer), ElementsAre("A"));
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.2f);
}

TEST_F(PlayingTest, ChangeWhileAChainComesAliveEndsOnTheLatestRouting) {
  // Building the chain on B waits for the device, running the main queue; the user changes mind.
  sim.setAggregatesAlive(false);
  queue.post([&] { manager->setRouting(kPlayer, {}); });
  manager->setRouting(kPlayer, {"B"});
  settle();
  EXPECT_THAT(app(kPlayer)->selectedOutputDeviceUIDs, IsEmpty());
  EXPECT_THAT(taps(kPlayer), ElementsAre("A"));
  EXPECT_EQ(sim.liveTaps().size(), 2u);  // with Radio's
}

TEST_F(PlayingTest, DefaultDeviceUnreadableRemovesEveryChain) {
  manager->setRouting(kPlayer, {"B"});
  sim.addFault({.operation = SimAudioSystem::Operation::kGetPropertyData,
                .object = hal::kSystemObject,
                .selector = hal::selector::kDefaultOutputDevice});
  manager->setRouting(kPlayer, {});
  EXPECT_THAT(taps(kPlayer), IsEmpty());
}

class SavedStateTest : public ModelTest {
 protected:
  SavedStateTest() { playApp(100, kPlayer, "Player"); }
  void restart() {
    manager.reset();
    engine.stopAll();
    makeManager();
  }
};

TEST_F(SavedStateTest, OlderRoutingIsMigratedAndRewritten) {
  prefs.set("appDeviceRouting", PreferenceDictionary{{kPlayer, "B"}, {"org.example.Other", "A"}});
  makeManager();
  EXPECT_THAT(app(kPlayer)->selectedOutputDeviceUIDs, ElementsAre("B"));
  EXPECT_THAT(taps(kPlayer), ElementsAre("B"));
  auto stored = prefs.stringListTable("appDeviceRouting");
  ASSERT_TRUE(stored);
  EXPECT_THAT(stored->at(kPlayer), ElementsAre("B"));
  EXPECT_THAT(stored->at("org.example.Other"), ElementsAre("A"));
}

TEST_F(SavedStateTest, MalformedTablesAreIgnoredWholeAndVolumesOutOfRangeClamped) {
  prefs.set("defaultVolume", 0.7f);
  prefs.set("savedVolumes", PreferenceDictionary{{kPlayer, 0.2f}, {"org.example.Other", "loud"}});
  prefs.set("appDeviceRouting",
            PreferenceDictionary{{kPlayer, PreferenceArray{"B"}}, {"org.example.Other", 3}});
  prefs.set("appPerDeviceVolumes",
            PreferenceDictionary{{kPlayer, PreferenceDictionary{{"A", 0.1f}, {"B", true}}}});
  makeManager();
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.7f);
  EXPECT_TRUE(app(kPlayer)->selectedOutputDeviceUIDs.empty());
  EXPECT_TRUE(app(kPlayer)->perDeviceVolumes.empty());
  EXPECT_THAT(taps(kPlayer), ElementsAre("A"));
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.7f);

  prefs.set("appPerDeviceVolumes",
            std::map<std::string, std::map<std::string, float>>{{kPlayer, {{"B", 5.0f}}}});
  prefs.set("deviceSpecificVolumes",
            std::map<std::string, std::map<std::string, float>>{{"A", {{kPlayer, -2.0f}}}});
  restart();
  EXPECT_EQ(app(kPlayer)->perDeviceVolumes.at("B"), 1.0f);
  EXPECT_EQ(manager->savedPerDeviceVolumes()->at(kPlayer).at("B"), 1.0f);
  EXPECT_EQ(manager->savedVolumes()->at(kPlayer), 0.0f);
}

TEST_F(SavedStateTest, MutedAppComesBackAfterARestartUnmutedAtItsVolume) {
  makeManager();
  manager->setVolume(kPlayer, 0.4f);
  manager->toggleMute(kPlayer);
  manager->setVolume("org.example.Gone", 0.6f);
  manager->toggleMute(kPlayer);
  manager->toggleMute(kPlayer);
  EXPECT_FLOAT_EQ(prefs.floatTable("savedVolumes")->at(kPlayer), 0.4f);

  restart();
  EXPECT_FALSE(app(kPlayer)->isMuted);
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.4f);
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.4f);
  // Apps not listed keep their entry through later saves.
  manager->setVolume(kPlayer, 0.5f);
  EXPECT_FLOAT_EQ(prefs.floatTable("savedVolumes")->at("org.example.Gone"), 0.6f);
}

TEST_F(SavedStateTest, VolumesOfTheCurrentDeviceWinOverTheLastSaved) {
  prefs.set("savedVolumes", std::map<std::string, float>{{kPlayer, 0.9f}});
  prefs.set("deviceSpecificVolumes",
            std::map<std::string, std::map<std::string, float>>{{"A", {{kPlayer, 0.35f}}}});
  makeManager();
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.35f);
  // Without an engine the device is not asked for: the table of "default" is used.
  restart();
  manager.reset();
  makeManager(/*withEngine=*/false);
  EXPECT_EQ(*manager->currentDeviceUID(), "default");
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.9f);
}

}  // namespace
}  // namespace mixelot::testing
