#include "engine/PlaythroughEngine.h"

#include <gtest/gtest.h>

#include <cmath>

#include "EngineFixture.h"

namespace mixelot::testing {
namespace {

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
  // The same chains, still at their volume and muted; nothing logged.
  EXPECT_EQ(tap("com.a", "Headphones"), old);
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

}  // namespace
}  // namespace mixelot::testing
