// The graph mirror fed in memory, as the registry and the bound objects would feed it, and the
// parts that read it: the Linker's ports, the audio-hardware objects, the stream moves. No daemon.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include "FakeGraph.h"
#include "engine/hal/pipewire/Linker.h"
#include "engine/hal/pipewire/PropertyView.h"
#include "engine/hal/pipewire/StreamMover.h"
#include "platform/ManualMainQueue.h"
#include "platform/SystemLog.h"

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
  // Its metadata goes with it, though the metadata sends no event for that.
  fake::addDefaultMetadata(graph, 3_id);
  graph.updateMetadata(40_id, "target.object", "Spa:Id", "mixelot.tap.1");

  graph.removeGlobal(40_id);
  fake::addStream(graph, 40_id, 31_id, 600);
  const GraphNode* node = graph.node(40_id);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->serial, Serial{600});
  EXPECT_EQ(node->clientId(), 31_id);
  EXPECT_EQ(lookup(node->props, PW_KEY_APP_ID), "");
  EXPECT_EQ(node->state, PW_NODE_STATE_CREATING);
  EXPECT_EQ(graph.metadata(40_id, "target.object"), std::nullopt);
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

// Which ports the Linker joins for a tap sink → filter → device chain.
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

// The audio-hardware objects built from the graph, on virtual time.
// PIDs no process of the machine running the tests is likely to have.
constexpr pid_t kFirstApp = 4190001;
constexpr pid_t kSecondApp = 4190002;

struct PropertyViewTest : testing::Test {
  ManualMainQueue queue;
  Graph graph{[] {}};
  std::map<pid_t, uint64_t> startTimes;
  ProcessLookups lookups{.startTime = [this](pid_t pid) -> std::optional<uint64_t> {
                           auto it = startTimes.find(pid);
                           if (it == startTimes.end()) return std::nullopt;
                           return it->second;
                         },
                         // Process 2 of the sandbox of org.example.Sandboxed.
                         .sandboxHostPid =
                             [](std::string_view app, pid_t pid) {
                               return app == "org.example.Sandboxed" && pid == 2
                                          ? std::optional<pid_t>(kSecondApp)
                                          : std::nullopt;
                             }};
  PropertyView view{graph, queue, {.ownPid = 1, .processes = lookups}};

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

  // The first process ends and a new one is given its PID: a new object, which nothing made for
  // the old one (its app's chains, kept for a while after it went quiet) may take for it.
  graph.removeGlobal(61_id);
  graph.removeGlobal(30_id);
  startTimes[kFirstApp] = 777;
  fake::addClient(graph, 32_id, kFirstApp);
  fake::addStream(graph, 62_id, 32_id, 503);
  update();
  ASSERT_EQ(processes().size(), 2u);
  const ObjectID reused = processes()[1];
  EXPECT_NE(reused, first);
  EXPECT_EQ(view.processPid(reused), kFirstApp);
  EXPECT_EQ(view.processKey(reused), (ProcessKey{kFirstApp, 777}));
}

TEST_F(PropertyViewTest, AppsBehindThePulseServerAreTheirHostProcessesNamedAsTheySay) {
  // The server's client for each app: the PID the daemon read is the server's, the one the app
  // reported counts in its own PID namespace (2 in a sandbox).
  auto pulseClient = [&](GlobalId id, pid_t reported, Dict props) {
    props.insert({{PW_KEY_CLIENT_API, "pipewire-pulse"}, {"pulse.server.type", "unix"}});
    fake::addClient(graph, id, reported, props);
  };
  const Dict flatpak = {{PW_KEY_ACCESS, "flatpak"}, {PW_KEY_APP_PROCESS_BINARY, "/app/bin/tone"}};
  Dict sandboxed = flatpak;
  sandboxed.insert({"pipewire.access.portal.app_id", "org.example.Sandboxed"});
  pulseClient(30_id, kFirstApp, {{PW_KEY_APP_NAME, "Music"}});
  pulseClient(31_id, 2, sandboxed);
  pulseClient(32_id, 3, flatpak);  // no app id: nothing vouches for whose PID 3 it is
  Dict otherApp = sandboxed;
  otherApp.insert_or_assign("pipewire.access.portal.app_id", "org.example.Other");
  pulseClient(33_id, 2, otherApp);  // its host process was not found
  for (uint32_t client = 30; client <= 33; ++client)
    fake::addStream(graph, GlobalId{client + 30}, GlobalId{client});
  update();

  ASSERT_EQ(processes().size(), 2u);
  auto read = [&](ObjectID process, uint32_t selector) {
    PropertyValue value;
    EXPECT_EQ(view.getPropertyData(process, {selector}, value), kNoError);
    return value;
  };
  EXPECT_EQ(read(processes()[0], selector::kProcessPID), PropertyValue(int32_t{kFirstApp}));
  EXPECT_EQ(read(processes()[0], selector::kProcessName), PropertyValue(std::string("Music")));
  EXPECT_EQ(read(processes()[1], selector::kProcessPID), PropertyValue(int32_t{kSecondApp}));
  EXPECT_EQ(read(processes()[1], selector::kProcessBundleID),
            PropertyValue(std::string("org.example.Sandboxed")));
  EXPECT_EQ(read(processes()[1], selector::kProcessName), PropertyValue(std::string("tone")));
}

// Moving tapped streams and giving them back.
constexpr pid_t kApp = 100;
constexpr GlobalId kStream = 40_id;
const std::string kTap = "mixelot.tap.1.1";

struct StreamMoverTest : testing::Test {
  Graph graph{[] {}};
  StreamMover mover{graph};
  std::map<ProcessKey, std::string> read{{{kApp, 0}, kTap}};

  StreamMoverTest() {
    fake::addDefaultMetadata(graph);
    fake::addSink(graph, 50_id, kTap);
    fake::addStream(graph, kStream, 10_id);
  }
  // Client 10 plays for process 100 (kApp), client 11 for process 110.
  void reconcile(const std::map<ProcessKey, std::string>& sinks) {
    mover.reconcile(sinks, [](const GraphNode& stream) -> std::optional<ProcessKey> {
      return ProcessKey{static_cast<pid_t>(stream.clientId()->value * 10), 0};
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

TEST_F(StreamMoverTest, AStreamSentElsewhereWhileMovedIsLeftThere) {
  CapturingLog log;
  set(kStream, kTargetKey, "speakers");
  reconcile(read);
  // A tool that holds the stream on the headphones answers every change of its target.
  int writes = 0;
  for (int turn = 0; turn < 5; ++turn) {
    if (target() != "headphones") {
      set(kStream, kTargetKey, "headphones");
      ++writes;
    }
    reconcile(read);
  }
  EXPECT_EQ(writes, 1);
  EXPECT_EQ(target(), "headphones");
  EXPECT_EQ(saved(), "(none)");
  const auto lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.find("sent to headphones by another program") !=
                                   std::string::npos;
                          }),
            1);
  reconcile({});
  reconcile(read);
  mover.restoreAll();
  EXPECT_EQ(target(), "headphones");

  // Retargeted in the same turn as the tap stops being read: left where the user put it.
  fake::addStream(graph, 41_id, 10_id);
  reconcile(read);
  set(41_id, kTargetKey, "hdmi");
  reconcile({});
  EXPECT_EQ(target(41_id), "hdmi");
  EXPECT_EQ(saved(41_id), "(none)");
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
    reconcile(sinkGone ? read : std::map<ProcessKey, std::string>{});
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
