// The audio-hardware objects built from an in-memory graph, on virtual time. No daemon.

#include "engine/hal/pipewire/PropertyView.h"

#include <gtest/gtest.h>

#include "FakeGraph.h"
#include "platform/ManualMainQueue.h"

namespace mixelot::hal::pipewire {
namespace {

// PIDs no process of the machine running the tests is likely to have.
constexpr pid_t kFirstApp = 4190001;
constexpr pid_t kSecondApp = 4190002;

struct PropertyViewTest : testing::Test {
  ManualMainQueue queue;
  Graph graph{[] {}};
  PropertyView view{graph, queue, {.ownPid = 1}};

  void update() { view.update({.connected = true}); }
  std::vector<ObjectID> list(ObjectID object, uint32_t selector) {
    PropertyValue value;
    EXPECT_EQ(view.getPropertyData(object, {selector}, value), kNoError);
    return std::get<std::vector<ObjectID>>(value);
  }
  std::vector<ObjectID> devices() { return list(kSystemObject, selector::kDevices); }
  std::vector<ObjectID> processes() { return list(kSystemObject, selector::kProcessObjects); }
};

TEST_F(PropertyViewTest, DeviceKeepsItsIdPerNodeNameAcrossNodeIdReuse) {
  fake::addSink(graph, 40_id, "speakers");
  fake::addSink(graph, 41_id, "headphones");
  update();
  const std::vector<ObjectID> first = devices();
  ASSERT_EQ(first.size(), 2u);
  const ObjectID speakers = first[0], headphones = first[1];

  // The daemon hands the speakers' node id to another device: that one is a new object.
  graph.removeGlobal(40_id);
  fake::addSink(graph, 40_id, "hdmi", {"FL", "FR"}, 2000);
  update();
  const std::vector<ObjectID> second = devices();
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0], headphones);
  EXPECT_NE(second[1], speakers);
  PropertyValue gone;
  EXPECT_EQ(view.getPropertyData(speakers, {selector::kName}, gone), status::kBadObject);

  // The speakers come back under a new node id: the same object as before, listed first.
  fake::addSink(graph, 55_id, "speakers", {"FL", "FR"}, 2001);
  update();
  EXPECT_EQ(devices(), (std::vector<ObjectID>{speakers, headphones, second[1]}));
  PropertyValue uid;
  EXPECT_EQ(view.getPropertyData(speakers, {selector::kDeviceUID}, uid), kNoError);
  EXPECT_EQ(uid, PropertyValue(std::string("speakers")));
}

TEST_F(PropertyViewTest, ChangesOfOneBurstReachAListenerOnce) {
  std::vector<std::vector<PropertyAddress>> heard;
  ListenerID id = 0, dropped = 0;
  const PropertyAddress devicesAddress{selector::kDevices},
      processesAddress{selector::kProcessObjects};
  ASSERT_EQ(
      view.addPropertyListener(
          kSystemObject, devicesAddress,
          [&](auto addresses) { heard.emplace_back(addresses.begin(), addresses.end()); }, id),
      kNoError);
  ASSERT_EQ(view.addPropertyListener(
                kSystemObject, processesAddress,
                [&](auto) { ADD_FAILURE() << "removed listener called"; }, dropped),
            kNoError);
  fake::addSink(graph, 40_id, "speakers");
  update();
  fake::addSink(graph, 41_id, "headphones");
  update();
  fake::addClient(graph, 30_id, kFirstApp);
  fake::addStream(graph, 60_id, 30_id);
  update();
  EXPECT_EQ(view.removePropertyListener(kSystemObject, processesAddress, dropped), kNoError);
  EXPECT_TRUE(heard.empty());  // nothing before the burst is over
  queue.advance(Seconds(0.1));
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0], std::vector<PropertyAddress>{devicesAddress});

  // A build that changes nothing tells nobody; a process starting to play is a change of the
  // process list, though the list itself is the same.
  ASSERT_EQ(
      view.addPropertyListener(
          kSystemObject, processesAddress,
          [&](auto addresses) { heard.emplace_back(addresses.begin(), addresses.end()); }, id),
      kNoError);
  update();
  queue.advance(Seconds(0.1));
  EXPECT_EQ(heard.size(), 1u);
  graph.updateNodeInfo(60_id, {}, PW_NODE_STATE_RUNNING);
  update();
  queue.advance(Seconds(0.1));
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[1], std::vector<PropertyAddress>{processesAddress});
}

TEST_F(PropertyViewTest, StreamIdReusedByAnotherProcessMovesTheProcessObjects) {
  fake::addClient(graph, 30_id, kFirstApp);
  fake::addClient(graph, 31_id, kSecondApp);
  fake::addStream(graph, 60_id, 30_id, 500);
  update();
  ASSERT_EQ(processes().size(), 1u);
  const ObjectID first = processes()[0];
  EXPECT_EQ(view.processPid(first), kFirstApp);

  graph.removeGlobal(60_id);
  fake::addStream(graph, 60_id, 31_id, 501);
  update();
  ASSERT_EQ(processes().size(), 1u);
  const ObjectID second = processes()[0];
  EXPECT_NE(second, first);
  EXPECT_EQ(view.processPid(second), kSecondApp);
  EXPECT_EQ(view.processPid(first), std::nullopt);
  PropertyValue pid;
  EXPECT_EQ(view.getPropertyData(second, {selector::kProcessPID}, pid), kNoError);
  EXPECT_EQ(pid, PropertyValue(int32_t{kSecondApp}));

  // The first process plays again: its object, kept per PID, comes back.
  fake::addStream(graph, 61_id, 30_id, 502);
  update();
  EXPECT_EQ(processes(), (std::vector<ObjectID>{first, second}));
}

}  // namespace
}  // namespace mixelot::hal::pipewire
