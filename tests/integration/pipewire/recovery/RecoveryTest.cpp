// What happens around the chains when something else goes: our own process killed, the session
// manager restarted, the device an app is routed to unplugged. (The daemon restarted under us is
// in the model's suite: what rebuilds the chains then is discovery.)

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "engine/hal/pipewire/Graph.h"
#include "engine/hal/pipewire/PipeWireConnection.h"
#include "support/EngineRig.h"
#include "support/SessionTest.h"

namespace mixelot {
namespace {

using namespace testsupport;

constexpr const char* kMusic = "org.example.Music";
constexpr const char* kRadio = "org.example.Radio";
constexpr const char* kPodcast = "org.example.Podcast";
constexpr double kTwoTonesLevel = kToneLevel + 3.01;  // two such tones together

// The level of two tones of different frequencies playing together.
double together(double first, double second) {
  return 10 * std::log10(std::pow(10, first / 10) + std::pow(10, second / 10));
}

// A rig whose engine routes `app` (playing) to `device` (the default when empty).
void routeApp(EngineRig& rig, const std::string& app, std::optional<std::string> device = {}) {
  ASSERT_TRUE(waitFor(rig.queue, [&] { return !rig.processesOf(app, true).empty(); }));
  rig.engine.createTap(app, rig.processesOf(app, true), std::move(device));
  ASSERT_TRUE(waitFor(rig.queue, [&] { return onTap(app); }));
}

// A connection that mirrors the graph, and notes for each connection made whether the first
// exchanges brought the registry's globals (our own client, at least) before it was ready.
struct MirroringConnection {
  explicit MirroringConnection(PollMainQueue& queue)
      : connection(queue,
                   {.attach = [this](pw_core* core) { graph.attach(core); },
                    .ready = [this] { readyWithGraph.push_back(!graph.clients().empty()); },
                    .lost = [this] { graph.detach(); }},
                   Seconds(2.0)) {
    connection.start();
  }
  hal::pipewire::PipeWireConnection connection;
  hal::pipewire::Graph graph{[] {}};  // detached before the connection goes
  std::vector<bool> readyWithGraph;
};

using RecoveryTest = SessionTest;
using RecoveryForEitherClientTest = ForEitherClient<SessionTest>;
MIXELOT_FOR_EITHER_CLIENT(RecoveryForEitherClientTest);

TEST_P(RecoveryForEitherClientTest, KilledWhileRoutingEveryAppIsBackOnItsOutputAtOnce) {
  startTone(kMusic, 440);
  startTone(kRadio, 660);
  // One app the user sent to the headphones, as the desktop's mixer does.
  startTone(kPodcast, 880);
  PollMainQueue queue;
  ASSERT_TRUE(session().pinApp(kPodcast, "headphones"));
  ASSERT_TRUE(waitFor(queue, [] { return linkedTo(kPodcast, "headphones"); }));

  // Our program, in a process of its own: chains for both apps, one of them to the headphones
  // at half volume.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    EngineRig rig;
    waitFor(rig.queue, [&] {
      return !rig.processesOf(kMusic, true).empty() && !rig.processesOf(kRadio, true).empty() &&
             !rig.processesOf(kPodcast, true).empty();
    });
    rig.engine.createTap(kMusic, rig.processesOf(kMusic, true));
    rig.engine.setAppVolume(kMusic, 0.5f);
    rig.engine.createTap(kRadio, rig.processesOf(kRadio, true), std::string("headphones"));
    rig.engine.createTap(kPodcast, rig.processesOf(kPodcast, true));
    rig.queue.run();
    ::_exit(0);
  }
  auto killChild = [child] {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  };
  if (!waitFor(
          queue, [] { return onTap(kMusic) && onTap(kRadio) && onTap(kPodcast); }, 10.0)) {
    killChild();
    FAIL() << "the chains never came up";
  }

  // Music at half volume, and Podcast (routed back to the speakers through its chain).
  EXPECT_NEAR(level(queue, "speakers"), together(kToneLevel - 6.02, kToneLevel), kTolerance);

  killChild();
  const auto killed = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      waitFor(queue, [] { return linkedTo(kMusic, "speakers") && linkedTo(kRadio, "speakers"); }));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
  std::printf("  back on the speakers %.2f s after SIGKILL\n", seconds);
  EXPECT_LT(seconds, 2.0);
  // The app the user had pinned plays as well, on the default device, as the stream's target
  // still names our sink; the next start of ours gives it its own target back.
  EXPECT_TRUE(waitFor(queue, [] { return linkedTo(kPodcast, "speakers"); }));
  EXPECT_TRUE(session().nodesNamed("mixelot.").empty());
  {
    hal::pipewire::PipeWireAudioHardware restarted(queue);
    EXPECT_TRUE(waitFor(queue, [] { return linkedTo(kPodcast, "headphones"); }));
  }
  EXPECT_NEAR(level(queue, "speakers"), kTwoTonesLevel, kTolerance);

  // A new session manager starts from its saved state: nothing there may pin an app to a sink
  // of ours that is gone. (The apps are stopped first: WirePlumber 0.4.13 restarted while a
  // stream plays never finishes activating that stream and then links nothing at all.)
  stopTones();
  ASSERT_TRUE(whileRunning(queue, [] { return session().restart("wireplumber"); }));
  EXPECT_EQ(session().savedStreamState().find("mixelot"), std::string::npos)
      << session().savedStreamState();
  // The apps play again, each on a device of the session: the speakers, or the headphones the
  // user pinned Podcast to (WirePlumber keeps that pin under the streams' shared media role).
  startTone(kMusic, 440);
  startTone(kRadio, 660);
  auto onADevice = [](const std::string& app) {
    return linkedTo(app, "speakers") || linkedTo(app, "headphones");
  };
  EXPECT_TRUE(waitFor(queue, [&] { return onADevice(kMusic) && onADevice(kRadio); }));
}

TEST_F(RecoveryTest, AnAppRoutedToAnUnpluggedDeviceGoesOnPlayingOnTheDefault) {
  startTone(kMusic, 440);
  EngineRig rig;
  ASSERT_NO_FATAL_FAILURE(routeApp(rig, kMusic, "headphones"));

  ASSERT_TRUE(whileRunning(rig.queue, [] { return session().unplug("headphones"); }));
  EXPECT_TRUE(waitFor(rig.queue, [] { return linkedTo(kMusic, "speakers"); }));
  EXPECT_NEAR(level(rig.queue, "speakers"), kToneLevel, kTolerance);

  // Plugged in again, the device gets the app back.
  ASSERT_TRUE(whileRunning(rig.queue, [] { return session().plug("headphones", "Headphones"); }));
  EXPECT_TRUE(waitFor(rig.queue, [&] { return onTap(kMusic); }));
  rig.engine.stopAll();
}

TEST_F(RecoveryTest, ChainsOutliveASessionManagerRestartWithoutStoppingIt) {
  // A device the restart leaves alone (not a card of the session manager's), so the chain to it
  // stays up across the restart.
  ASSERT_TRUE(session().plug("desk", "Desk"));
  startTone(kMusic, 440);
  EngineRig rig;
  ASSERT_NO_FATAL_FAILURE(routeApp(rig, kMusic, "desk"));
  const auto sinksBefore = session().nodesNamed("mixelot.tap.");
  stopTones();

  ASSERT_TRUE(whileRunning(rig.queue, [] { return session().restart("wireplumber"); }));
  // The new session manager links apps as before (a sink of ours that it had to take over after
  // it had played would stall its linking for everyone)... Our loop keeps running meanwhile: the
  // new session manager takes over our nodes, and waits for our answers.
  startTone(kRadio, 660, {}, &rig.queue);
  EXPECT_TRUE(waitFor(rig.queue, [] { return linkedTo(kRadio, "speakers"); }));
  // ...and the chain is whole again, on a sink the new session manager saw made.
  const auto chain = rig.engine.chain(kMusic, "desk");
  ASSERT_TRUE(chain);
  const hal::ObjectID aggregate = chain->aggregateDeviceID;
  EXPECT_TRUE(waitFor(rig.queue, [&] {
    return hal::readUInt32(rig.hardware, aggregate, {hal::selector::kDeviceIsAlive}) == 1u;
  }));
  const auto sinksAfter = session().nodesNamed("mixelot.tap.");
  EXPECT_EQ(sinksAfter.size(), 1u);
  EXPECT_NE(sinksAfter, sinksBefore);
  rig.engine.stopAll();
  EXPECT_TRUE(whileRunning(rig.queue, [] { return session().unplug("desk"); }));
}

TEST_F(RecoveryTest, TheDaemonDyingWhileAChainIsBuiltLeavesUsRunning) {
  startTone(kMusic, 440);
  // Long enough that the kill below always lands inside the exchange, never after it timed out.
  EngineRig rig({.roundtripTimeout = Seconds(20.0)});
  ASSERT_NO_FATAL_FAILURE(routeApp(rig, kMusic));
  // A connection of its own, which makes more exchanges with this daemon than its next one will
  // have made when that one's first exchanges are done.
  MirroringConnection probe(rig.queue);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(probe.connection.roundtrip());

  // The daemon hangs, then dies, while a second chain of the app (on the sink it has already)
  // waits for its new node.
  const char* daemon = std::getenv("PW_SESSION_PIPEWIRE_PID");
  ASSERT_TRUE(daemon);
  const pid_t pid = static_cast<pid_t>(std::atoi(daemon));
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  auto killer = std::async(std::launch::async, [pid] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(pid, SIGKILL);
  });
  rig.engine.createTap(kMusic, rig.processesOf(kMusic, true), std::string("headphones"));
  killer.get();
  // Where the build was not waiting on the daemon when it died (a busy machine), the loss is read
  // on the loop's next turn.
  EXPECT_TRUE(waitFor(rig.queue, [&] { return !rig.hardware.isConnected(); }));
  EXPECT_EQ(rig.engine.activeDeviceUIDs(kMusic), std::vector<std::string>{"speakers"});

  stopTones();
  ASSERT_TRUE(whileRunning(rig.queue, [] { return session().restart("pipewire"); }));
  EXPECT_TRUE(waitFor(rig.queue, [&] {
    return rig.hardware.isConnected() && rig.hardware.connectionCount() == 2;
  })) << "no reconnection";
  rig.engine.stopAll();
  EXPECT_TRUE(waitFor(rig.queue, [&] { return probe.connection.generation() == 2; }));
  EXPECT_EQ(probe.readyWithGraph, (std::vector<bool>{true, true}));
}

}  // namespace
}  // namespace mixelot
