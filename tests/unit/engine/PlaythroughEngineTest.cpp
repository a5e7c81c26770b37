#include "engine/PlaythroughEngine.h"

#include <gtest/gtest.h>

#include <cmath>

#include "EngineFixture.h"

namespace mixelot::testing {
namespace {

using Operation = SimAudioSystem::Operation;

TEST_F(EngineTest, BuildsTheChainAsDescribed) {
  engine.createTap("com.a", {processA});

  auto state = tap("com.a::BuiltInSpeakers");
  ASSERT_TRUE(state);
  EXPECT_EQ(sim.events(), (std::vector<Event>{{"createProcessTap", state->tapObjectID},
                                              {"createAggregateDevice", state->aggregateDeviceID},
                                              {"createIOProc", state->aggregateDeviceID},
                                              {"deviceStart", state->aggregateDeviceID}}));

  // Two input streams come first on the speakers, so the first output stream is index 2.
  auto tapDescription = sim.tapDescription(state->tapObjectID);
  ASSERT_TRUE(tapDescription);
  EXPECT_EQ(tapDescription->processes, std::vector<hal::ObjectID>{processA});
  EXPECT_FALSE(tapDescription->isStereoMixdown);
  EXPECT_EQ(tapDescription->deviceUID, "BuiltInSpeakers");
  EXPECT_EQ(tapDescription->stream, 2u);
  EXPECT_EQ(tapDescription->uuid, state->tapUUID);
  EXPECT_EQ(tapDescription->muteBehavior, hal::TapMuteBehavior::kMutedWhenTapped);
  EXPECT_TRUE(tapDescription->isPrivate);

  auto aggregate = sim.aggregateDescription(state->aggregateDeviceID);
  ASSERT_TRUE(aggregate);
  EXPECT_EQ(aggregate->name, "Mixelot-com.a");
  EXPECT_EQ(aggregate->uid.size(), 36u);
  EXPECT_NE(aggregate->uid, state->tapUUID);
  EXPECT_EQ(aggregate->master, "BuiltInSpeakers");
  EXPECT_EQ(aggregate->clock, "BuiltInSpeakers");
  EXPECT_TRUE(aggregate->isPrivate && aggregate->isStacked && aggregate->tapAutoStart);
  EXPECT_EQ(aggregate->subdevices,
            (std::vector<hal::AggregateSubDevice>{{.uid = "BuiltInSpeakers", .drift = false}}));
  EXPECT_EQ(aggregate->taps,
            (std::vector<hal::AggregateTap>{{.drift = true, .uid = state->tapUUID}}));

  EXPECT_EQ(sim.ioProcQueueLabel(state->aggregateDeviceID, *state->ioProcID),
            "com.corvana.Mixelot.io.com.a.BuiltInSpeakers");
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"[Mixelot] Tap active for com.a \u2192 BuiltInSpeakers (tap=" +
                                     std::to_string(state->tapObjectID) +
                                     " agg=" + std::to_string(state->aggregateDeviceID) + ")"});
  EXPECT_EQ(state->targetVolume.load(), 1.0f);
  EXPECT_FALSE(state->isMuted.load());
  EXPECT_EQ(state->currentGain, 1.0f);
}

TEST_F(EngineTest, RoutedDeviceGetsItsOwnChainWhileTheTapStaysOnTheRealDevice) {
  engine.createTap("com.a", {processA}, "Headphones");
  auto state = tap("com.a::Headphones");
  ASSERT_TRUE(state);
  EXPECT_EQ(sim.tapDescription(state->tapObjectID)->deviceUID, "BuiltInSpeakers");
  EXPECT_EQ(sim.aggregateDescription(state->aggregateDeviceID)->master, "Headphones");

  // An unknown or empty device UID falls back to the real device, under its key.
  engine.createTap("com.a", {processA}, "Gone");
  engine.createTap("com.ab", {processAB}, "");
  EXPECT_TRUE(tap("com.a::BuiltInSpeakers"));
  EXPECT_TRUE(tap("com.ab::BuiltInSpeakers"));
  EXPECT_FALSE(tap("com.a::Gone"));
  EXPECT_EQ(engine.appTaps().size(), 3u);
}

TEST_F(EngineTest, TapFallsBackToAStereoMixdown) {
  // The device-stream tap fails once: the mixdown is tried with the same identity.
  sim.addFault({.operation = Operation::kCreateProcessTap, .count = 1});
  engine.createTap("com.a", {processA});
  auto state = tap("com.a::BuiltInSpeakers");
  ASSERT_TRUE(state);
  auto description = sim.tapDescription(state->tapObjectID);
  EXPECT_TRUE(description->isStereoMixdown);
  EXPECT_EQ(description->uuid, state->tapUUID);
  EXPECT_EQ(description->muteBehavior, hal::TapMuteBehavior::kMutedWhenTapped);
  EXPECT_TRUE(description->isPrivate);

  // A device whose stream list cannot be read goes straight to the mixdown.
  sim.addFault({.operation = Operation::kGetPropertyData,
                .object = speakers,
                .selector = hal::selector::kStreams});
  sim.clearEvents();
  engine.createTap("com.ab", {processAB});
  EXPECT_EQ(sim.events().front(),
            (Event{"createProcessTap", tap("com.ab::BuiltInSpeakers")->tapObjectID}));
  EXPECT_TRUE(sim.tapDescription(tap("com.ab::BuiltInSpeakers")->tapObjectID)->isStereoMixdown);
}

TEST_F(EngineTest, EveryRemovalTearsDownInTheFixedOrder) {
  auto build = [&] {
    engine.createTap("com.a", {processA});
    auto state = tap("com.a::BuiltInSpeakers");
    sim.clearEvents();
    return state;
  };

  auto state = build();
  engine.removeTap("com.a", "BuiltInSpeakers");
  EXPECT_EQ(sim.events(), teardown(*state));
  EXPECT_FALSE(state->ioProcID);

  state = build();
  engine.removeTaps("com.a");
  EXPECT_EQ(sim.events(), teardown(*state));

  state = build();
  engine.stopAll();
  EXPECT_EQ(sim.events(), teardown(*state));
  EXPECT_TRUE(engine.appTaps().empty());
  expectNothingLeft();

  // Removing what is not there does nothing.
  sim.clearEvents();
  engine.removeTap("com.a", "BuiltInSpeakers");
  engine.removeTaps("com.a");
  EXPECT_TRUE(sim.events().empty());
}

struct StepFault {
  const char* name;
  Operation operation;
  hal::Status status;
  const char* logLine;
};

class CreateTapFailure : public EngineTest, public ::testing::WithParamInterface<StepFault> {};

TEST_P(CreateTapFailure, LeavesNoHalfBuiltChain) {
  const StepFault& step = GetParam();
  sim.addFault({.operation = step.operation, .status = step.status});
  engine.createTap("com.a", {processA});

  EXPECT_FALSE(engine.hasTap("com.a"));
  EXPECT_TRUE(engine.activeDeviceUIDs("com.a").empty());
  expectNothingLeft();
  EXPECT_EQ(log.lines(), std::vector<std::string>{step.logLine});
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

TEST_F(EngineTest, FailedStartTearsDownInOrder) {
  sim.addFault({.operation = Operation::kDeviceStart});
  engine.createTap("com.a", {processA});
  auto events = sim.events();
  ASSERT_EQ(events.size(), 8u);
  const hal::ObjectID tapID = events[0].object, aggregateID = events[1].object;
  EXPECT_EQ(std::vector<Event>(events.begin() + 4, events.end()),
            (std::vector<Event>{{"deviceStop", aggregateID},
                                {"destroyIOProc", aggregateID},
                                {"destroyAggregateDevice", aggregateID},
                                {"destroyProcessTap", tapID}}));
}

TEST_F(EngineTest, AlreadyBuiltKeyChangesAndLogsNothing) {
  engine.createTap("com.a", {processA});
  auto first = tap("com.a::BuiltInSpeakers");
  first->targetVolume = 0.3f;
  sim.clearEvents();
  log.clear();

  engine.createTap("com.a", {processA, processAB});
  EXPECT_TRUE(sim.events().empty());
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(tap("com.a::BuiltInSpeakers"), first);
  EXPECT_EQ(first->targetVolume.load(), 0.3f);
}

TEST_F(EngineTest, GuardsFailSilently) {
  engine.createTap("com.a", {});
  engine.setPermissionGranted(false);
  engine.createTap("com.a", {processA});
  engine.setPermissionGranted(true);
  sim.setSupportsProcessTaps(false);
  engine.createTap("com.a", {processA});

  EXPECT_TRUE(engine.appTaps().empty());
  EXPECT_TRUE(sim.events().empty());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(EngineTest, FirstTapLooksUpTheDefaultDeviceOrLogsItsAbsence) {
  PlaythroughEngine fresh(sim, queue);
  fresh.setPermissionGranted(true);
  sim.setDefaultOutputDevice(hal::kUnknownObject);
  fresh.createTap("com.a", {processA});
  EXPECT_TRUE(fresh.appTaps().empty());
  EXPECT_EQ(log.lines(), std::vector<std::string>{"[Mixelot] No real output device found"});

  log.clear();
  sim.setDefaultOutputDevice(headphones);
  fresh.createTap("com.a", {processA});
  EXPECT_EQ(fresh.realDeviceUID(), "Headphones");
  EXPECT_TRUE(fresh.hasTap("com.a"));
  EXPECT_EQ(log.lines().front(), "[Mixelot] Output device changed:  \u2192 Headphones");
  fresh.stopAll();
}

TEST_F(EngineTest, AppOperationsMatchWholeBundleIdentifiersOnly) {
  engine.createTap("com.a", {processA});
  engine.createTap("com.a", {processA}, "Headphones");
  engine.createTap("com.ab", {processAB});
  auto other = tap("com.ab::BuiltInSpeakers");

  EXPECT_TRUE(engine.hasTap("com.a"));
  EXPECT_FALSE(engine.hasTap("com"));
  auto uids = engine.activeDeviceUIDs("com.a");
  std::sort(uids.begin(), uids.end());
  EXPECT_EQ(uids, (std::vector<std::string>{"BuiltInSpeakers", "Headphones"}));

  engine.setAppVolume("com.a", 1.7f);
  EXPECT_EQ(tap("com.a::Headphones")->targetVolume.load(), 1.0f);
  engine.setAppVolume("com.a", -0.2f);
  EXPECT_EQ(tap("com.a::BuiltInSpeakers")->targetVolume.load(), 0.0f);
  EXPECT_EQ(tap("com.a::Headphones")->targetVolume.load(), 0.0f);
  engine.setAppVolume("com.a", std::nanf(""));
  EXPECT_EQ(tap("com.a::Headphones")->targetVolume.load(), 0.0f);
  engine.setAppDeviceVolume("com.a", "Headphones", 0.4f);
  engine.setAppDeviceVolume("com.a", "Nowhere", 0.9f);
  EXPECT_EQ(tap("com.a::Headphones")->targetVolume.load(), 0.4f);
  EXPECT_EQ(tap("com.a::BuiltInSpeakers")->targetVolume.load(), 0.0f);
  engine.setAppMuted("com.a", true);
  EXPECT_TRUE(tap("com.a::Headphones")->isMuted.load());
  EXPECT_EQ(other->targetVolume.load(), 1.0f);
  EXPECT_FALSE(other->isMuted.load());

  engine.removeTaps("com.a");
  EXPECT_FALSE(engine.hasTap("com.a"));
  EXPECT_EQ(engine.appTaps().size(), 1u);
  EXPECT_EQ(tap("com.ab::BuiltInSpeakers"), other);
  EXPECT_EQ(sim.runningIOProcCount(), 1u);
}

TEST_F(EngineTest, DefaultDeviceChangeTearsDownEveryChain) {
  engine.createTap("com.a", {processA});
  engine.createTap("com.ab", {processAB}, "Headphones");
  log.clear();

  // Same UID: nothing at all.
  engine.refreshOutputDevice();
  EXPECT_EQ(engine.appTaps().size(), 2u);
  EXPECT_TRUE(log.lines().empty());

  sim.setDefaultOutputDevice(headphones);
  engine.refreshOutputDevice();
  EXPECT_TRUE(engine.appTaps().empty());
  expectNothingLeft();
  EXPECT_EQ(engine.realDeviceID(), headphones);
  EXPECT_EQ(engine.realDeviceUID(), "Headphones");
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "[Mixelot] Output device changed: BuiltInSpeakers \u2192 Headphones"});
}

TEST_F(EngineTest, AliveWaitEndsAfterHalfASecondOfVirtualTime) {
  engine.createTap("com.a", {processA});
  EXPECT_EQ(queue.elapsed().count(), 0.0);

  sim.setAggregatesAlive(false);
  engine.createTap("com.ab", {processAB});
  EXPECT_GE(queue.elapsed().count(), 0.5);
  EXPECT_LT(queue.elapsed().count(), 0.52);
  // The outcome of the wait is not checked: the chain is built anyway.
  EXPECT_TRUE(engine.hasTap("com.ab"));
}

TEST_F(EngineTest, RemovalDuringTheAliveWaitCancelsTheBuild) {
  sim.setAggregatesAlive(false);
  // The wait runs the main queue; removing the chain from there must not leave it running.
  queue.post([&] { engine.removeTaps("com.a"); });
  engine.createTap("com.a", {processA});
  EXPECT_FALSE(engine.hasTap("com.a"));
  expectNothingLeft();

  queue.post([&] { engine.stopAll(); });
  engine.createTap("com.a", {processA});
  EXPECT_FALSE(engine.hasTap("com.a"));
  expectNothingLeft();

  // A nested build of the same key is ignored instead of leaking the outer one.
  queue.post([&] { engine.createTap("com.a", {processA}); });
  engine.createTap("com.a", {processA});
  EXPECT_EQ(engine.appTaps().size(), 1u);
  EXPECT_EQ(sim.liveTaps().size(), 1u);
  EXPECT_EQ(sim.liveAggregates().size(), 1u);
}

}  // namespace
}  // namespace mixelot::testing
