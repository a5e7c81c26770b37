// The engine on the simulated audio layer: how its chains are built, changed and torn down; their
// I/O block (the gain ramp against its formula, the block as the audio layer runs it, its
// real-time rules); and the output devices and the capture permission it reads.
#include "engine/PlaythroughEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "engine/AppTapState.h"
#include "engine/AudioDeviceManager.h"
#include "engine/AudioRecordingPermission.h"
#include "engine/Gain.h"
#include "engine/hal/sim/SimAudioSystem.h"
#include "platform/ManualMainQueue.h"
#include "platform/SystemLog.h"
#include "support/FakePlatform.h"
#include "support/HeapWatch.h"

namespace mixelot::testing {
namespace {

using hal::sim::SimAudioSystem;
using Event = SimAudioSystem::Event;

// A machine with a built-in default output device and headphones, one tapped process per app, and
// an engine that has the capture permission.
class EngineTest : public ::testing::Test {
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

  std::shared_ptr<AppTapState> tap(const std::string& id, const std::string& uid) const {
    return engine.chain(id, uid);
  }

  // What the simulated system still holds: nothing may outlive a failed or removed chain.
  void expectNothingLeft() const {
    EXPECT_TRUE(sim.liveTaps().empty());
    EXPECT_TRUE(sim.liveAggregates().empty());
    EXPECT_EQ(sim.runningIOProcCount(), 0u);
  }

  static std::vector<Event> teardown(const AppTapState& state) {
    return {{"deviceStop", state.aggregateDeviceID},
            {"destroyIOProc", state.aggregateDeviceID},
            {"destroyAggregateDevice", state.aggregateDeviceID},
            {"destroyProcessTap", state.tapObjectID}};
  }

  ManualMainQueue queue;
  SimAudioSystem sim{queue};
  CapturingLog log;
  PlaythroughEngine engine{sim, queue};
  hal::ObjectID speakers = 0, headphones = 0, processA = 0, processAB = 0;
};

using Operation = SimAudioSystem::Operation;

// Every tap the engine makes is named after its app, private, and silences the app while it is
// tapped.
hal::TapDescription ours(hal::TapDescription tap, const AppTapState& state) {
  tap.name = state.bundleID;
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
  // The aggregate plays on the speakers from this chain's tap, under the name that keeps it out
  // of the device list.
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
    expectNothingLeft();
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
    expectNothingLeft();
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
  // Only com.ab's chain is left.
  EXPECT_EQ(sim.liveTaps().size(), 1u);
  EXPECT_EQ(sim.liveAggregates().size(), 1u);
  EXPECT_EQ(sim.runningIOProcCount(), 1u);
}

TEST_F(EngineTest, RemovalDuringTheAliveWaitCancelsTheBuild) {
  sim.setAggregatesAlive(false);
  // The wait runs the main queue; a removal from there must not leave the chain running.
  for (auto removal : {+[](PlaythroughEngine& e) { e.removeTaps("com.a"); },
                       +[](PlaythroughEngine& e) { e.stopAll(); }}) {
    queue.post([&, removal] { removal(engine); });
    engine.createTap("com.a", {processA});
    EXPECT_FALSE(engine.hasTap("com.a"));
    expectNothingLeft();
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
  // Within 0.001 of unity counts as unity, and the gain stays where it is; the level meter's copy
  // keeps every bit too.
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

  // Every path of the block, with the level meter on: copy, ramp, mute, software volume, and
  // back to the copy.
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

TEST_F(AudioDeviceManagerTest, ChoosingTheDefaultWritesOnlyAListedDevice) {
  auto speakers = sim.addDevice({.uid = "spk", .name = "Speakers"});
  auto phones = sim.addDevice({.uid = "hp", .name = "Phones"});
  sim.addDevice({.uid = "agg", .name = "Mixelot-com.a"});
  sim.setDefaultOutputDevice(speakers);
  AudioDeviceManager manager(sim);
  int changes = 0;
  manager.onDefaultDeviceChanged = [&] { ++changes; };
  for (const char* refused : {"agg", "nowhere", ""})
    EXPECT_FALSE(manager.setDefaultOutputDevice(refused));
  EXPECT_TRUE(manager.setDefaultOutputDevice("hp"));
  queue.runUntilIdle();
  EXPECT_EQ(manager.defaultOutputDeviceID(), phones);
  EXPECT_EQ(changes, 1);
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
}  // namespace mixelot::testing
