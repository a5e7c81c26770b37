#include "engine/PlaythroughEngine.h"

#include <gtest/gtest.h>

#include <cmath>

#include "EngineFixture.h"

namespace mixelot::testing {
namespace {

using Operation = SimAudioSystem::Operation;

TEST_F(EngineTest, BuildsTheChainAsDescribed) {
  engine.createTap("com.a", {processA});
  auto state = tap("com.a", "BuiltInSpeakers");
  ASSERT_TRUE(state);
  const hal::ObjectID tapID = state->tapObjectID, aggregateID = state->aggregateDeviceID;
  EXPECT_EQ(sim.events(), (std::vector<Event>{{"createProcessTap", tapID},
                                              {"createAggregateDevice", aggregateID},
                                              {"createIOProc", aggregateID},
                                              {"deviceStart", aggregateID}}));

  // The speakers list two input streams first, so their first output stream is index 2.
  auto expectedTap = hal::TapDescription::forDeviceStream({processA}, "BuiltInSpeakers", 2);
  expectedTap.uuid = state->tapUUID;
  expectedTap.muteBehavior = hal::TapMuteBehavior::kMutedWhenTapped;
  expectedTap.isPrivate = true;
  EXPECT_EQ(sim.tapDescription(tapID), expectedTap);

  auto aggregate = sim.aggregateDescription(aggregateID);
  ASSERT_TRUE(aggregate);
  EXPECT_EQ(aggregate->uid.size(), 36u);
  EXPECT_NE(aggregate->uid, state->tapUUID);
  EXPECT_EQ(aggregate,
            (hal::AggregateDescription{.name = "Mixelot-com.a",
                                       .uid = aggregate->uid,
                                       .master = "BuiltInSpeakers",
                                       .clock = "BuiltInSpeakers",
                                       .isPrivate = true,
                                       .isStacked = true,
                                       .tapAutoStart = true,
                                       .subdevices = {{.uid = "BuiltInSpeakers", .drift = false}},
                                       .taps = {{.drift = true, .uid = state->tapUUID}}}));

  EXPECT_EQ(sim.ioProcQueueLabel(aggregateID, *state->ioProcID),
            "com.corvana.Mixelot.io.com.a.BuiltInSpeakers");
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "[Mixelot] Tap active for com.a \u2192 BuiltInSpeakers (tap=" +
                             std::to_string(tapID) + " agg=" + std::to_string(aggregateID) + ")"});
}

TEST_F(EngineTest, RoutedDeviceGetsItsOwnChainWhileTheTapStaysOnTheRealDevice) {
  engine.createTap("com.a", {processA}, "Headphones");
  auto state = tap("com.a", "Headphones");
  ASSERT_TRUE(state);
  EXPECT_EQ(sim.tapDescription(state->tapObjectID)->deviceUID, "BuiltInSpeakers");
  EXPECT_EQ(sim.aggregateDescription(state->aggregateDeviceID)->master, "Headphones");

  // An unknown or empty device UID builds on the real device, under its key.
  engine.createTap("com.a", {processA}, "Gone");
  engine.createTap("com.ab", {processAB}, "");
  EXPECT_TRUE(tap("com.a", "BuiltInSpeakers"));
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

  for (const char* id : {"com.a", "com.ab"}) {
    auto state = tap(id, "BuiltInSpeakers");
    ASSERT_TRUE(state) << id;
    auto expected = hal::TapDescription::stereoMixdown({id[5] == 'b' ? processAB : processA});
    expected.uuid = state->tapUUID;
    expected.muteBehavior = hal::TapMuteBehavior::kMutedWhenTapped;
    expected.isPrivate = true;
    EXPECT_EQ(sim.tapDescription(state->tapObjectID), expected) << id;
  }
  EXPECT_EQ(sim.liveTaps().size(), 2u);
}

TEST_F(EngineTest, EveryRemovalTearsDownInTheFixedOrder) {
  const std::function<void()> removals[] = {[&] { engine.removeTap("com.a", "BuiltInSpeakers"); },
                                            [&] { engine.removeTaps("com.a"); },
                                            [&] { engine.stopAll(); },
                                            [&] {
                                              sim.setDefaultOutputDevice(headphones);
                                              engine.refreshOutputDevice();
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

struct StepFault {
  const char* name;
  Operation operation;
  hal::Status status;
  const char* logLine;
};

class CreateTapFailure : public EngineTest, public ::testing::WithParamInterface<StepFault> {};

TEST_P(CreateTapFailure, LeavesNoHalfBuiltChain) {
  sim.addFault({.operation = GetParam().operation, .status = GetParam().status});
  engine.createTap("com.a", {processA});
  EXPECT_FALSE(engine.hasTap("com.a"));
  expectNothingLeft();
  EXPECT_EQ(log.lines(), std::vector<std::string>{GetParam().logLine});
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, CreateTapFailure,
    ::testing::Values(StepFault{"Tap", Operation::kCreateProcessTap, hal::status::kUnspecified,
                                "[Mixelot] Failed to create tap for com.a"},
                      StepFault{"Aggregate", Operation::kCreateAggregateDevice,
                                hal::status::kUnspecified,
                                "[Mixelot] Failed to create aggregate for com.a"},
                      // The status is printed as a signed number.
                      StepFault{"IOProc", Operation::kCreateIOProc, -50,
                                "[Mixelot] Failed to create IOProc for com.a: -50"},
                      StepFault{"Start", Operation::kDeviceStart, hal::status::kNotRunning,
                                "[Mixelot] Failed to start IOProc for com.a"}),
    [](const auto& info) { return std::string(info.param.name); });

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

  log.clear();
  sim.setDefaultOutputDevice(headphones);
  fresh.createTap("com.a", {processA});
  EXPECT_TRUE(fresh.hasTap("com.a"));
  EXPECT_EQ(log.lines().front(), "[Mixelot] Output device changed:  \u2192 Headphones");
  fresh.stopAll();
}

TEST_F(EngineTest, AppOperationsMatchWholeBundleIdentifiersOnly) {
  engine.createTap("com.a", {processA});
  engine.createTap("com.a", {processA}, "Headphones");
  engine.createTap("com.ab", {processAB});
  // An id may hold any characters, also those a joined key would be split at.
  engine.createTap("com.a::Headphones", {processAB});
  auto other = tap("com.ab", "BuiltInSpeakers");
  auto lookalike = tap("com.a::Headphones", "BuiltInSpeakers");
  auto speakersChain = tap("com.a", "BuiltInSpeakers"),
       headphonesChain = tap("com.a", "Headphones");

  EXPECT_FALSE(engine.hasTap("com"));
  auto uids = engine.activeDeviceUIDs("com.a");
  std::sort(uids.begin(), uids.end());
  EXPECT_EQ(uids, (std::vector<std::string>{"BuiltInSpeakers", "Headphones"}));

  engine.setAppVolume("com.a", 1.7f);
  EXPECT_EQ(headphonesChain->targetVolume.load(), 1.0f);
  engine.setAppVolume("com.a", -0.2f);
  EXPECT_EQ(speakersChain->targetVolume.load(), 0.0f);
  engine.setAppVolume("com.a", std::nanf(""));
  EXPECT_EQ(headphonesChain->targetVolume.load(), 0.0f);
  engine.setAppDeviceVolume("com.a", "Headphones", 0.4f);
  engine.setAppDeviceVolume("com.a", "Nowhere", 0.9f);
  EXPECT_EQ(headphonesChain->targetVolume.load(), 0.4f);
  EXPECT_EQ(speakersChain->targetVolume.load(), 0.0f);
  engine.setAppMuted("com.a", true);
  EXPECT_TRUE(headphonesChain->isMuted.load());
  for (const auto& chain : {other, lookalike}) {
    EXPECT_EQ(chain->targetVolume.load(), 1.0f);
    EXPECT_FALSE(chain->isMuted.load());
  }

  engine.removeTaps("com.a");
  EXPECT_FALSE(engine.hasTap("com.a"));
  EXPECT_TRUE(engine.hasTap("com.a::Headphones"));
  EXPECT_EQ(engine.chainCount(), 2u);
  EXPECT_EQ(sim.runningIOProcCount(), 2u);
}

TEST_F(EngineTest, OnlyAChangedDeviceUIDTearsDownAndLogs) {
  engine.createTap("com.a", {processA});
  log.clear();
  engine.refreshOutputDevice();
  EXPECT_EQ(engine.chainCount(), 1u);
  EXPECT_TRUE(log.lines().empty());

  sim.setDefaultOutputDevice(headphones);
  engine.refreshOutputDevice();
  EXPECT_EQ(engine.chainCount(), 0u);
  EXPECT_EQ(engine.realDeviceID(), headphones);
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "[Mixelot] Output device changed: BuiltInSpeakers \u2192 Headphones"});
}

TEST_F(EngineTest, NewProcessListReachesEveryTapOfTheAppInPlace) {
  const hal::ObjectID secondA = sim.addProcess(103, "com.a");
  engine.createTap("com.a", {processA});
  engine.createTap("com.a", {processA}, "Headphones");
  engine.createTap("com.ab", {processAB});
  auto speakersChain = tap("com.a", "BuiltInSpeakers"),
       headphonesChain = tap("com.a", "Headphones");
  engine.setAppDeviceVolume("com.a", "Headphones", 0.4f);
  engine.setAppMuted("com.a", true);
  sim.clearEvents();
  log.clear();

  engine.updateTapProcesses("com.a", {processA, secondA});
  EXPECT_EQ(sim.events(), (std::vector<Event>{{"set tdsc/glob/0", speakersChain->tapObjectID},
                                              {"set tdsc/glob/0", headphonesChain->tapObjectID}}));
  for (const auto& chain : {speakersChain, headphonesChain})
    EXPECT_EQ(sim.tapDescription(chain->tapObjectID)->processes,
              (std::vector<hal::ObjectID>{processA, secondA}));
  EXPECT_EQ(sim.tapDescription(tap("com.ab", "BuiltInSpeakers")->tapObjectID)->processes,
            std::vector<hal::ObjectID>{processAB});
  // The same chains, still at their volume and muted; nothing logged.
  EXPECT_EQ(tap("com.a", "BuiltInSpeakers"), speakersChain);
  EXPECT_EQ(tap("com.a", "Headphones"), headphonesChain);
  EXPECT_EQ(headphonesChain->targetVolume.load(), 0.4f);
  EXPECT_TRUE(speakersChain->isMuted.load());
  EXPECT_TRUE(log.lines().empty());

  // An empty list or an app without chains: nothing to write.
  sim.clearEvents();
  engine.updateTapProcesses("com.a", {});
  engine.updateTapProcesses("com", {processA});
  EXPECT_TRUE(sim.events().empty());
}

TEST_F(EngineTest, ATapThatRefusesTheNewListIsRebuiltWithIt) {
  const hal::ObjectID secondA = sim.addProcess(103, "com.a");
  engine.createTap("com.a", {processA});
  engine.createTap("com.a", {processA}, "Headphones");
  auto speakersChain = tap("com.a", "BuiltInSpeakers"), old = tap("com.a", "Headphones");
  engine.setAppDeviceVolume("com.a", "Headphones", 0.4f);
  engine.setAppMuted("com.a", true);
  sim.addFault({.operation = Operation::kSetPropertyData,
                .object = old->tapObjectID,
                .selector = hal::selector::kTapDescription});
  sim.clearEvents();
  log.clear();
  // The rebuild waits for its aggregate device; a volume set meanwhile reaches the new chain.
  sim.setAggregatesAlive(false);
  queue.post([&] { engine.setAppDeviceVolume("com.a", "Headphones", 0.25f); });

  engine.updateTapProcesses("com.a", {processA, secondA});
  auto rebuilt = tap("com.a", "Headphones");
  ASSERT_TRUE(rebuilt);
  ASSERT_NE(rebuilt, old);
  auto expected = teardown(*old);
  expected.insert(expected.begin(), Event{"set tdsc/glob/0", speakersChain->tapObjectID});
  for (Event built : {Event{"createProcessTap", rebuilt->tapObjectID},
                      Event{"createAggregateDevice", rebuilt->aggregateDeviceID},
                      Event{"createIOProc", rebuilt->aggregateDeviceID},
                      Event{"deviceStart", rebuilt->aggregateDeviceID}})
    expected.push_back(built);
  EXPECT_EQ(sim.events(), expected);
  EXPECT_EQ(sim.tapDescription(rebuilt->tapObjectID)->processes,
            (std::vector<hal::ObjectID>{processA, secondA}));
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
  engine.updateTapProcesses("com.a", {secondA});
  EXPECT_FALSE(engine.hasTap("com.a"));
  expectNothingLeft();
}

TEST_F(EngineTest, AliveWaitEndsAfterHalfASecondOfVirtualTime) {
  engine.createTap("com.a", {processA});
  EXPECT_EQ(queue.elapsed().count(), 0.0);

  sim.setAggregatesAlive(false);
  engine.createTap("com.ab", {processAB});
  EXPECT_GE(queue.elapsed().count(), 0.5);
  EXPECT_LT(queue.elapsed().count(), 0.52);
  EXPECT_TRUE(engine.hasTap("com.ab"));  // the outcome of the wait is not checked
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

}  // namespace
}  // namespace mixelot::testing
