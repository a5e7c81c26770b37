// The graph mirror fed in memory, as the registry and the bound objects would feed it. No daemon.

#include <gtest/gtest.h>

#include <type_traits>

#include "FakeGraph.h"

namespace mixelot::hal::pipewire {
namespace {

// An id is no number: a PID, a count, an ObjectID or a serial never becomes one by accident.
static_assert(!std::is_convertible_v<uint32_t, GlobalId> &&
              !std::is_convertible_v<GlobalId, uint32_t>);
static_assert(!std::is_convertible_v<Serial, GlobalId> && !std::is_convertible_v<GlobalId, Serial>);

struct GraphTest : testing::Test {
  int changes = 0;
  Graph graph{[this] { ++changes; }};
};

TEST_F(GraphTest, RemovalBeforeItsAddDoesNotDropTheAdd) {
  // PipeWire hands a removed id to the next object and orders its registry events, so a removal
  // of an id we do not hold leaves no mark that would swallow a later add of that id.
  graph.removeGlobal(40_id);
  EXPECT_EQ(changes, 0);
  fake::addSink(graph, 40_id, "speakers", {"MONO"});
  ASSERT_NE(graph.node(40_id), nullptr);
  EXPECT_EQ(graph.portsOf(40_id).size(), 2u);
  // Info for a node that is gone makes up no record.
  graph.removeGlobal(40_id);
  graph.updateNodeInfo(40_id, {{PW_KEY_APP_ID, "late"}}, PW_NODE_STATE_RUNNING);
  EXPECT_EQ(graph.node(40_id), nullptr);
}

TEST_F(GraphTest, IdReusedWithNewSerialIsTheNewObjectOnly) {
  fake::addClient(graph, 30_id, 111);
  fake::addClient(graph, 31_id, 222);
  fake::addStream(graph, 40_id, 30_id, 500);
  graph.updateNodeInfo(40_id, {{PW_KEY_APP_ID, "org.old.App"}}, PW_NODE_STATE_RUNNING);
  ASSERT_EQ(lookup(graph.node(40_id)->props, PW_KEY_APP_ID), "org.old.App");

  graph.removeGlobal(40_id);
  fake::addStream(graph, 40_id, 31_id, 600);
  const GraphNode* node = graph.node(40_id);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->serial, Serial{600});
  EXPECT_EQ(node->clientId(), 31_id);
  EXPECT_EQ(lookup(node->props, PW_KEY_APP_ID), "");
  EXPECT_EQ(node->state, PW_NODE_STATE_CREATING);
}

TEST_F(GraphTest, MetadataEntriesFollowTheirSubjectAndTheirObject) {
  EXPECT_FALSE(
      graph.setMetadata(0_id, "default.audio.sink", MetadataValue{"Spa:String:JSON", "{}"}));
  graph.updateMetadata(40_id, "target.object", "Spa:Id", "ignored");  // none to hold it yet
  fake::addDefaultMetadata(graph, 3_id, PW_PERM_R);
  ASSERT_TRUE(graph.hasDefaultMetadata());
  EXPECT_EQ(graph.metadataGeneration(), 1u);
  EXPECT_EQ(graph.metadataPermissions(), PW_PERM_R);
  EXPECT_TRUE(graph.metadataEntries().empty());

  graph.updateMetadata(40_id, "target.object", "Spa:Id", "speakers");
  graph.updateMetadata(40_id, "other", nullptr, "1");
  graph.updateMetadata(41_id, "target.object", "Spa:Id", "headphones");
  EXPECT_EQ(graph.metadata(40_id, "other"), (MetadataValue{"", "1"}));
  graph.updateMetadata(40_id, nullptr, nullptr, nullptr);  // every key of 40
  EXPECT_EQ(graph.metadataEntries().size(), 1u);
  EXPECT_EQ(graph.metadata(41_id, "target.object"), (MetadataValue{"Spa:Id", "headphones"}));

  // Unbound, a write lands in the mirror only.
  EXPECT_TRUE(graph.setMetadata(41_id, "target.object", std::nullopt));
  EXPECT_TRUE(graph.setMetadata(42_id, "target.object", MetadataValue{"Spa:Id", "speakers"}));
  EXPECT_EQ(graph.metadata(41_id, "target.object"), std::nullopt);
  EXPECT_EQ(graph.metadata(42_id, "target.object"), (MetadataValue{"Spa:Id", "speakers"}));

  // A second "default" is not ours while the first lives; the first going takes its entries.
  fake::addDefaultMetadata(graph, 4_id);
  graph.removeGlobal(3_id);
  EXPECT_FALSE(graph.hasDefaultMetadata());
  EXPECT_TRUE(graph.metadataEntries().empty());
  fake::addDefaultMetadata(graph, 5_id);
  EXPECT_EQ(graph.metadataGeneration(), 2u);
}

}  // namespace
}  // namespace mixelot::hal::pipewire
