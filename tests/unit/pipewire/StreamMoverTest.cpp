// Moving tapped streams and giving them back, on a graph fed in memory. No daemon.

#include "engine/hal/pipewire/StreamMover.h"

#include <gtest/gtest.h>

#include "FakeGraph.h"

namespace mixelot::hal::pipewire {
namespace {

constexpr pid_t kApp = 100;
constexpr GlobalId kStream = 40_id;
const std::string kTap = "mixelot.tap.1.1";

struct StreamMoverTest : testing::Test {
  Graph graph{[] {}};
  StreamMover mover{graph};
  std::map<pid_t, std::string> read{{kApp, kTap}};

  StreamMoverTest() {
    fake::addDefaultMetadata(graph);
    fake::addSink(graph, 50_id, kTap);
    fake::addStream(graph, kStream, 10_id);
  }
  // Client 10 plays for process 100 (kApp), client 11 for process 110.
  void reconcile(const std::map<pid_t, std::string>& sinks) {
    mover.reconcile(sinks, [](const GraphNode& stream) -> std::optional<pid_t> {
      return static_cast<pid_t>(stream.clientId()->value * 10);
    });
  }
  // As the user (or the session manager) sets it.
  void set(GlobalId node, const char* key, const char* value) {
    graph.updateMetadata(node, key, value ? kTargetType : nullptr, value);
  }
  std::string target(GlobalId node = kStream) { return value(node, kTargetKey); }
  std::string saved(GlobalId node = kStream) { return value(node, kSavedTargetKey); }
  std::string value(GlobalId node, const char* key) {
    auto entry = graph.metadata(node, key);
    return entry ? entry->value : "(none)";
  }
};

TEST_F(StreamMoverTest, MoveAndGiveBackTheOwnTarget) {
  for (const char* own : {static_cast<const char*>(nullptr), "speakers"}) {
    for (bool byRestoreAll : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << (own ? own : "no target") << (byRestoreAll ? ", all" : ""));
      set(kStream, kTargetKey, own);
      reconcile(read);
      EXPECT_EQ(target(), kTap);
      EXPECT_EQ(saved(), own ? own : "(none)");
      if (byRestoreAll)
        mover.restoreAll();
      else
        reconcile({});
      EXPECT_EQ(target(), own ? own : "(none)");
      EXPECT_EQ(saved(), "(none)");
    }
  }
}

TEST_F(StreamMoverTest, UserRetargetWhileMovedIsKept) {
  set(kStream, kTargetKey, "speakers");
  reconcile(read);
  set(kStream, kTargetKey, "headphones");
  reconcile(read);  // back on the tap while it is read, the new choice kept
  EXPECT_EQ(target(), kTap);
  EXPECT_EQ(saved(), "headphones");
  reconcile({});
  EXPECT_EQ(target(), "headphones");

  // Retargeted in the same turn as the tap stops being read: left where the user put it.
  reconcile(read);
  set(kStream, kTargetKey, "hdmi");
  reconcile({});
  EXPECT_EQ(target(), "hdmi");
  EXPECT_EQ(saved(), "(none)");
}

TEST_F(StreamMoverTest, IdReusedWithNewSerialRestoresNothingOntoTheNewStream) {
  for (pid_t newOwner : {110, kApp}) {
    SCOPED_TRACE(newOwner);
    set(kStream, kTargetKey, "speakers");
    reconcile(read);
    // The daemon drops a gone object's entries and hands its id to the next stream, which has
    // no target of its own.
    graph.removeGlobal(kStream);
    set(kStream, nullptr, nullptr);
    fake::addStream(graph, kStream, GlobalId{static_cast<uint32_t>(newOwner / 10)},
                    5000 + newOwner);
    reconcile(read);
    EXPECT_EQ(target(), newOwner == kApp ? kTap : "(none)");
    reconcile({});
    EXPECT_EQ(target(), "(none)");
    EXPECT_EQ(saved(), "(none)");
    graph.removeGlobal(kStream);
    fake::addStream(graph, kStream, 10_id);
  }
  // Gone in a turn of its own: nothing is written on its id later, for the next object to find.
  set(kStream, kTargetKey, "speakers");
  reconcile(read);
  graph.removeGlobal(kStream);
  set(kStream, nullptr, nullptr);
  reconcile(read);
  mover.restoreAll();
  EXPECT_EQ(target(), "(none)");
}

TEST_F(StreamMoverTest, MoveWhoseTapVanishedGivesTheTargetBack) {
  for (bool sinkGone : {false, true}) {
    SCOPED_TRACE(sinkGone ? "sink node gone" : "tap no longer read");
    set(kStream, kTargetKey, "speakers");
    reconcile(read);
    if (sinkGone) graph.removeGlobal(50_id);
    reconcile(sinkGone ? read : std::map<pid_t, std::string>{});
    EXPECT_EQ(target(), "speakers");
    EXPECT_EQ(saved(), "(none)");
  }
}

TEST_F(StreamMoverTest, ReconnectMidMoveGivesTheSavedTargetBackNextTime) {
  set(kStream, kTargetKey, "speakers");
  reconcile(read);
  // The connection goes; the session manager keeps the entries, our sink goes with us.
  const auto entries = graph.metadataEntries();
  mover.forget();
  graph.detach();
  fake::addDefaultMetadata(graph);
  fake::addStream(graph, kStream, 10_id);
  for (const auto& [key, value] : entries)
    graph.updateMetadata(key.first, key.second.c_str(), value.type.c_str(), value.value.c_str());
  set(41_id, kTargetKey, "headphones");  // the user's, beside an entry of ours left over
  set(41_id, kSavedTargetKey, "speakers");
  fake::addSink(graph, 60_id, "mixelot.tap.9.1");  // a running instance's move: not ours to undo
  set(42_id, kTargetKey, "mixelot.tap.9.1");
  set(42_id, kSavedTargetKey, "hdmi");
  set(43_id, kTargetKey, "mixelot.tap.7.1");  // a killed instance's move of a stream with no target

  mover.restoreAll();  // forgotten: nothing to give back on this connection
  EXPECT_EQ(target(), kTap);
  mover.removeStaleTargets();
  EXPECT_EQ(target(), "speakers");
  EXPECT_EQ(saved(), "(none)");
  EXPECT_EQ(target(41_id), "headphones");
  EXPECT_EQ(saved(41_id), "(none)");
  EXPECT_EQ(target(42_id), "mixelot.tap.9.1");
  EXPECT_EQ(saved(42_id), "hdmi");
  EXPECT_EQ(target(43_id), "(none)");
}

}  // namespace
}  // namespace mixelot::hal::pipewire
