#include "engine/hal/sim/SimAudioSystem.h"

#include <gtest/gtest.h>

#include "engine/hal/PropertyReads.h"
#include "platform/ManualMainQueue.h"

namespace mixelot::hal::sim {
namespace {

using Op = SimAudioSystem::Operation;

TEST(SimAudioSystem, FaultsMatchOperationObjectAndSelectorAndRunOut) {
  ManualMainQueue queue;
  SimAudioSystem sim(queue);
  ObjectID speakers = sim.addDevice({.uid = "spk", .name = "Speakers"});
  ObjectID other = sim.addDevice({.uid = "hp", .name = "Headphones"});

  sim.addFault({.operation = Op::kGetPropertyData,
                .object = speakers,
                .selector = selector::kName,
                .count = 2});
  EXPECT_FALSE(readString(sim, speakers, {selector::kName}));
  EXPECT_EQ(readString(sim, speakers, {selector::kDeviceUID}), "spk");
  EXPECT_EQ(readString(sim, other, {selector::kName}), "Headphones");
  EXPECT_FALSE(readString(sim, speakers, {selector::kName}));
  EXPECT_EQ(readString(sim, speakers, {selector::kName}), "Speakers");  // spent

  auto devices = readObjectList(sim, kSystemObject, {selector::kDevices});
  ASSERT_TRUE(devices);
  EXPECT_EQ(*devices, (std::vector<ObjectID>{speakers, other}));
}

TEST(SimAudioSystem, ListenersRunOnTheQueueAndNotAfterRemoval) {
  ManualMainQueue queue;
  SimAudioSystem sim(queue);
  ObjectID speakers = sim.addDevice({.uid = "spk", .name = "Speakers"});
  int calls = 0;
  ListenerID id = 0;
  const PropertyAddress address{selector::kDefaultOutputDevice};
  ASSERT_EQ(sim.addPropertyListener(
                kSystemObject, address, [&](auto) { ++calls; }, id),
            kNoError);

  sim.setDefaultOutputDevice(speakers);
  EXPECT_EQ(calls, 0);  // delivered through the queue, never inline
  queue.runUntilIdle();
  EXPECT_EQ(calls, 1);

  // A change queued before the removal must not be delivered after it.
  sim.setDefaultOutputDevice(kUnknownObject);
  ASSERT_EQ(sim.removePropertyListener(kSystemObject, address, id), kNoError);
  queue.runUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(sim.listenerCount(), 0u);
}

TEST(SimAudioSystem, IOProcRunsOnlyWhileStartedAndAggregatesAreListedDevices) {
  ManualMainQueue queue;
  SimAudioSystem sim(queue);
  AggregateDescription description{.name = "Mixelot-com.a", .uid = "agg-uid"};
  ObjectID aggregate = 0;
  ASSERT_EQ(sim.createAggregateDevice(description, aggregate), kNoError);
  EXPECT_EQ(readString(sim, aggregate, {selector::kName}), "Mixelot-com.a");

  int cycles = 0;
  std::optional<IOProcID> proc;
  ASSERT_EQ(sim.createIOProc(
                aggregate, "label", [&](auto, auto) { ++cycles; }, proc),
            kNoError);
  ASSERT_TRUE(proc);
  EXPECT_EQ(sim.runIOCycle(aggregate, {}, {}), 0);
  sim.deviceStart(aggregate, *proc);
  EXPECT_EQ(sim.runIOCycle(aggregate, {}, {}), 1);
  sim.deviceStop(aggregate, *proc);
  EXPECT_EQ(sim.runIOCycle(aggregate, {}, {}), 0);
  EXPECT_EQ(cycles, 1);
}

}  // namespace
}  // namespace mixelot::hal::sim
