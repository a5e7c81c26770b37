// Which ports the Linker joins for a tap sink → filter → device chain, on an in-memory graph.

#include "engine/hal/pipewire/Linker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeGraph.h"

namespace mixelot::hal::pipewire {
namespace {

using Plan = std::vector<Linker::PortPair>;

constexpr GlobalId kSink = 20_id, kFilter = 30_id, kDevice = 40_id;

// Our filter node: ports 3001/3002 take FL/FR in, 3003/3004 give them out.
void addFilter(Graph& graph) {
  graph.addGlobal(kFilter, PW_TYPE_INTERFACE_Node, PW_PERM_RWXM,
                  {{PW_KEY_NODE_NAME, "mixelot.forward.1.1"}});
  uint32_t port = kFilter.value * 100;
  for (const char* direction : {"in", "out"})
    for (const std::string channel : {"FL", "FR"})
      graph.addGlobal(
          GlobalId{++port}, PW_TYPE_INTERFACE_Port, PW_PERM_RWXM,
          {{PW_KEY_NODE_ID, std::to_string(kFilter.value)},
           {PW_KEY_PORT_DIRECTION, direction},
           {PW_KEY_AUDIO_CHANNEL, channel},
           {PW_KEY_PORT_NAME, (direction == std::string("in") ? "input_" : "output_") + channel}});
}

struct LinkerTest : ::testing::Test {
  Graph graph{[] {}};
  LinkerTest() {
    fake::addSink(graph, kSink, "mixelot.tap.1.1");  // monitors 2002 (FL) and 2004 (FR)
    addFilter(graph);
  }
  Plan plan(std::optional<GlobalId> filter = kFilter) {
    return Linker::planLinks(graph, "mixelot.tap.1.1", filter, "speakers");
  }
};

TEST_F(LinkerTest, EachChannelOfTheFilterGoesToTheDevicesMatchingMonoOrPositionalInput) {
  // A device's ports: per channel, playback `4000 + 2k + 1` (input) and its monitor (output).
  struct Case {
    const char* what;
    std::vector<std::string> channels;
    GlobalId left, right;  // the device inputs FL and FR of the filter go to
  };
  const Case cases[] = {
      {"stereo", {"FL", "FR"}, 4001_id, 4003_id},
      {"stereo listed right first", {"FR", "FL"}, 4003_id, 4001_id},
      {"surround", {"FC", "FL", "FR", "LFE"}, 4003_id, 4005_id},
      {"mono: both channels sum into it", {"MONO"}, 4001_id, 4001_id},
      {"mono beside a subwoofer: both into mono", {"LFE", "MONO"}, 4003_id, 4003_id},
      {"unnamed channels, by position", {"AUX0", "AUX1", "AUX2"}, 4001_id, 4003_id},
      {"one unnamed channel takes both", {"AUX0"}, 4001_id, 4001_id},
  };
  for (const Case& c : cases) {
    fake::addSink(graph, kDevice, "speakers", c.channels);
    EXPECT_EQ(plan(),
              (Plan{{2002_id, 3001_id}, {3003_id, c.left}, {2004_id, 3002_id}, {3004_id, c.right}}))
        << c.what;
    graph.removeGlobal(kDevice);
    for (uint32_t port = 4001; port <= 4000 + 2 * c.channels.size(); ++port)
      graph.removeGlobal(GlobalId{port});
  }
}

TEST_F(LinkerTest, NothingIsLinkedWithoutAnOutputDeviceFilterOrMonitor) {
  EXPECT_TRUE(plan().empty()) << "no device of that name";

  graph.addGlobal(kDevice, PW_TYPE_INTERFACE_Node, PW_PERM_RWXM,
                  {{PW_KEY_NODE_NAME, "speakers"}, {PW_KEY_MEDIA_CLASS, "Audio/Source"}});
  EXPECT_TRUE(plan().empty()) << "a source is no output device";
  graph.removeGlobal(kDevice);

  fake::addSink(graph, kDevice, "speakers");
  ASSERT_EQ(plan().size(), 4u);
  EXPECT_TRUE(plan(std::nullopt).empty()) << "the filter has no node yet";
  graph.removeGlobal(2002_id);
  EXPECT_TRUE(plan().empty()) << "the tap sink's FL monitor is gone: no half chain";
  fake::addSink(graph, kSink, "mixelot.tap.1.1");
  ASSERT_EQ(plan().size(), 4u);
  graph.removeGlobal(kDevice);  // unplugged
  EXPECT_TRUE(plan().empty()) << "the device went";
}

}  // namespace
}  // namespace mixelot::hal::pipewire
