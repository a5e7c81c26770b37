// The graph mirror fed in memory, as the registry and the bound objects would feed it. No daemon.

#include <gtest/gtest.h>

#include "FakeGraph.h"

namespace mixelot::hal::pipewire {
namespace {

struct GraphTest : testing::Test {
  int changes = 0;
  Graph graph{[this] { ++changes; }};
};

TEST_F(GraphTest, RemovalBeforeItsAddDoesNotDropTheAdd) {
  // PipeWire hands a removed id to the next object and orders its registry events, so a removal
  // of an id we do not hold leaves no mark that would swallow a later add of that id.
  graph.removeGlobal(40);
  EXPECT_EQ(changes, 0);
  fake::addSink(graph, 40, "speakers", {"MONO"});
  ASSERT_NE(graph.node(40), nullptr);
  EXPECT_EQ(graph.portsOf(40).size(), 2u);
  // Info for a node that is gone makes up no record.
  graph.removeGlobal(40);
  graph.updateNodeInfo(40, {{PW_KEY_APP_ID, "late"}}, PW_NODE_STATE_RUNNING);
  EXPECT_EQ(graph.node(40), nullptr);
}

TEST_F(GraphTest, IdReusedWithNewSerialIsTheNewObjectOnly) {
  fake::addClient(graph, 30, 111);
  fake::addClient(graph, 31, 222);
  fake::addStream(graph, 40, 30, 500);
  graph.updateNodeInfo(40, {{PW_KEY_APP_ID, "org.old.App"}}, PW_NODE_STATE_RUNNING);
  ASSERT_EQ(lookup(graph.node(40)->props, PW_KEY_APP_ID), "org.old.App");

  graph.removeGlobal(40);
  fake::addStream(graph, 40, 31, 600);
  const GraphNode* node = graph.node(40);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->serial, Serial{600});
  EXPECT_EQ(node->clientId(), 31u);
  EXPECT_EQ(lookup(node->props, PW_KEY_APP_ID), "");
  EXPECT_EQ(node->state, PW_NODE_STATE_CREATING);
}

TEST_F(GraphTest, MetadataEntriesFollowTheirSubjectAndTheirObject) {
  EXPECT_FALSE(graph.setMetadata(0, "default.audio.sink", MetadataValue{"Spa:String:JSON", "{}"}));
  graph.updateMetadata(40, "target.object", "Spa:Id", "ignored");  // none to hold it yet
  fake::addDefaultMetadata(graph, 3, PW_PERM_R);
  ASSERT_TRUE(graph.hasDefaultMetadata());
  EXPECT_EQ(graph.metadataGeneration(), 1u);
  EXPECT_EQ(graph.metadataPermissions(), PW_PERM_R);
  EXPECT_TRUE(graph.metadataEntries().empty());

  graph.updateMetadata(40, "target.object", "Spa:Id", "speakers");
  graph.updateMetadata(40, "other", nullptr, "1");
  graph.updateMetadata(41, "target.object", "Spa:Id", "headphones");
  EXPECT_EQ(graph.metadata(40, "other"), (MetadataValue{"", "1"}));
  graph.updateMetadata(40, nullptr, nullptr, nullptr);  // every key of 40
  EXPECT_EQ(graph.metadataEntries().size(), 1u);
  EXPECT_EQ(graph.metadata(41, "target.object"), (MetadataValue{"Spa:Id", "headphones"}));

  // Unbound, a write lands in the mirror only.
  EXPECT_TRUE(graph.setMetadata(41, "target.object", std::nullopt));
  EXPECT_TRUE(graph.setMetadata(42, "target.object", MetadataValue{"Spa:Id", "speakers"}));
  EXPECT_EQ(graph.metadata(41, "target.object"), std::nullopt);
  EXPECT_EQ(graph.metadata(42, "target.object"), (MetadataValue{"Spa:Id", "speakers"}));

  // A second "default" is not ours while the first lives; the first going takes its entries.
  fake::addDefaultMetadata(graph, 4);
  graph.removeGlobal(3);
  EXPECT_FALSE(graph.hasDefaultMetadata());
  EXPECT_TRUE(graph.metadataEntries().empty());
  fake::addDefaultMetadata(graph, 5);
  EXPECT_EQ(graph.metadataGeneration(), 2u);
}

}  // namespace
}  // namespace mixelot::hal::pipewire
