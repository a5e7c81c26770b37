// What happens around the chains when something else goes: our own process killed, the session
// manager restarted, the device an app is routed to unplugged. (The daemon restarted under us is
// in the model's suite: what rebuilds the chains then is discovery.)

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "engine/PlaythroughEngine.h"
#include "engine/hal/PropertyReads.h"
#include "engine/hal/pipewire/PipeWireAudioHardware.h"
#include "support/SessionTest.h"

namespace mixelot {
namespace {

using hal::pipewire::PipeWireAudioHardware;
using testsupport::session;
using testsupport::waitFor;
using testsupport::whileRunning;
namespace selector = hal::selector;

[[maybe_unused]] auto* const kSession =
    ::testing::AddGlobalTestEnvironment(new testsupport::SessionEnvironment);

constexpr const char* kMusic = "org.example.Music";
constexpr const char* kRadio = "org.example.Radio";
constexpr const char* kPodcast = "org.example.Podcast";
using testsupport::kToneLevel;
constexpr double kTwoTonesLevel = kToneLevel + 3.01;  // two such tones together
using testsupport::kTolerance;
constexpr double kSilence = -60.0;
const std::vector<std::string> kOnSpeakers = {"speakers"};
const std::vector<std::string> kOnHeadphones = {"headphones"};

// The level of two tones of different frequencies playing together.
double together(double first, double second) {
  return 10 * std::log10(std::pow(10, first / 10) + std::pow(10, second / 10));
}

bool onTap(const std::string& app) {
  auto targets = session().linkedTargets(app);
  return targets.size() == 1 && targets[0].starts_with("mixelot.tap.");
}

std::vector<hal::ObjectID> processesOf(hal::AudioHardware& hardware, const std::string& app) {
  std::vector<hal::ObjectID> found;
  auto processes = hal::readObjectList(hardware, hal::kSystemObject, {selector::kProcessObjects});
  for (auto process : processes.value_or(std::vector<hal::ObjectID>{}))
    if (hal::readString(hardware, process, {selector::kProcessBundleID}) == app &&
        hal::readUInt32(hardware, process,
                        {selector::kProcessIsRunningOutput, hal::scope::kOutput}) == 1u)
      found.push_back(process);
  return found;
}

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { MIXELOT_REQUIRE_SESSION(); }
  void TearDown() override {
    for (pid_t pid : tones_) session().stopTone(pid);
  }

  virtual bool pulse() const { return false; }
  void startTone(const std::string& app, int frequency) {
    auto pid = session().tone(app, frequency, {.pulse = pulse()});
    ASSERT_TRUE(pid) << "tone " << app << " did not start";
    tones_.push_back(*pid);
  }
  double level(PollMainQueue& queue, const std::string& device) {
    auto measured = whileRunning(queue, [&] { return session().level(device); });
    EXPECT_TRUE(measured) << "could not measure " << device;
    if (measured) std::printf("  level on %s: %.2f dB\n", device.c_str(), *measured);
    return measured.value_or(-1000.0);
  }

  std::vector<pid_t> tones_;
};

class RecoveryForEitherClientTest : public RecoveryTest,
                                    public ::testing::WithParamInterface<bool> {
 protected:
  bool pulse() const override { return GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(, RecoveryForEitherClientTest,
                         ::testing::ValuesIn(testsupport::kPulseClients), testsupport::clientKind);

TEST_P(RecoveryForEitherClientTest, KilledWhileRoutingEveryAppIsBackOnItsOutputAtOnce) {
  startTone(kMusic, 440);
  startTone(kRadio, 660);
  // One app the user sent to the headphones, as the desktop's mixer does.
  startTone(kPodcast, 880);
  {
    PollMainQueue queue;
    ASSERT_TRUE(session().pinApp(kPodcast, "headphones"));
    ASSERT_TRUE(waitFor(queue, [] { return session().linkedTargets(kPodcast) == kOnHeadphones; }));
  }

  // Our program, in a process of its own: chains for both apps, one of them to the headphones
  // at half volume.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    PollMainQueue queue;
    PipeWireAudioHardware hardware(queue);
    PlaythroughEngine engine(hardware, queue);
    engine.setPermissionGranted(true);
    waitFor(queue, [&] {
      return !processesOf(hardware, kMusic).empty() && !processesOf(hardware, kRadio).empty() &&
             !processesOf(hardware, kPodcast).empty();
    });
    engine.createTap(kMusic, processesOf(hardware, kMusic));
    engine.setAppVolume(kMusic, 0.5f);
    engine.createTap(kRadio, processesOf(hardware, kRadio), std::string("headphones"));
    engine.createTap(kPodcast, processesOf(hardware, kPodcast));
    if (waitFor(queue, [&] { return onTap(kMusic) && onTap(kRadio) && onTap(kPodcast); })) {
      [[maybe_unused]] auto written = ::write(ready[1], "1", 1);
    }
    queue.run();
    ::_exit(0);
  }
  ::close(ready[1]);
  pollfd wait{ready[0], POLLIN, 0};
  char byte = 0;
  const bool chainsUp = ::poll(&wait, 1, 10000) == 1 && ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (!chainsUp) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    FAIL() << "the chains never came up";
  }

  PollMainQueue queue;
  // Music at half volume, and Podcast (routed back to the speakers through its chain).
  EXPECT_NEAR(level(queue, "speakers"), together(kToneLevel - 6.02, kToneLevel), kTolerance);

  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  const auto killed = std::chrono::steady_clock::now();
  ASSERT_TRUE(waitFor(queue, [&] {
    return session().linkedTargets(kMusic) == kOnSpeakers &&
           session().linkedTargets(kRadio) == kOnSpeakers;
  }));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
  std::printf("  back on the speakers %.2f s after SIGKILL\n", seconds);
  EXPECT_LT(seconds, 2.0);
  // The app the user had pinned plays as well, on the default device, as the stream's target
  // still names our sink; the next start of ours gives it its own target back.
  EXPECT_TRUE(waitFor(queue, [] { return session().linkedTargets(kPodcast) == kOnSpeakers; }));
  EXPECT_TRUE(session().nodesNamed("mixelot.").empty());
  {
    PipeWireAudioHardware restarted(queue);
    EXPECT_TRUE(waitFor(queue, [] { return session().linkedTargets(kPodcast) == kOnHeadphones; }));
  }
  EXPECT_NEAR(level(queue, "speakers"), kTwoTonesLevel, kTolerance);

  // A new session manager starts from its saved state: nothing there may pin an app to a sink
  // of ours that is gone. (The apps are stopped first: WirePlumber 0.4.13 restarted while a
  // stream plays never finishes activating that stream and then links nothing at all.)
  for (pid_t pid : tones_) session().stopTone(pid);
  tones_.clear();
  ASSERT_TRUE(whileRunning(queue, [] { return session().restartWirePlumber(); }));
  EXPECT_EQ(session().savedStreamState().find("mixelot"), std::string::npos)
      << session().savedStreamState();
  // The apps play again, each on a device of the session: the speakers, or the headphones the
  // user pinned Podcast to (WirePlumber keeps that pin under the streams' shared media role).
  startTone(kMusic, 440);
  startTone(kRadio, 660);
  auto onADevice = [](const std::string& app) {
    auto targets = session().linkedTargets(app);
    return targets == kOnSpeakers || targets == kOnHeadphones;
  };
  EXPECT_TRUE(waitFor(queue, [&] { return onADevice(kMusic) && onADevice(kRadio); }));
}

TEST_F(RecoveryTest, AnAppRoutedToAnUnpluggedDeviceGoesOnPlayingOnTheDefault) {
  startTone(kMusic, 440);
  PollMainQueue queue;
  PipeWireAudioHardware hardware(queue);
  PlaythroughEngine engine(hardware, queue);
  engine.setPermissionGranted(true);
  ASSERT_TRUE(waitFor(queue, [&] { return !processesOf(hardware, kMusic).empty(); }));
  engine.createTap(kMusic, processesOf(hardware, kMusic), std::string("headphones"));
  ASSERT_TRUE(waitFor(queue, [&] { return onTap(kMusic); }));

  ASSERT_TRUE(whileRunning(queue, [] { return session().unplug("headphones"); }));
  EXPECT_TRUE(waitFor(queue, [&] { return session().linkedTargets(kMusic) == kOnSpeakers; }));
  EXPECT_NEAR(level(queue, "speakers"), kToneLevel, kTolerance);

  // Plugged in again, the device gets the app back.
  ASSERT_TRUE(whileRunning(queue, [] { return session().plug("headphones", "Headphones"); }));
  EXPECT_TRUE(waitFor(queue, [&] { return onTap(kMusic); }));
  engine.stopAll();
}

TEST_F(RecoveryTest, ChainsOutliveASessionManagerRestartWithoutStoppingIt) {
  // A device the restart leaves alone (not a card of the session manager's), so the chain to it
  // stays up across the restart.
  ASSERT_TRUE(session().plug("desk", "Desk"));
  startTone(kMusic, 440);
  PollMainQueue queue;
  PipeWireAudioHardware hardware(queue);
  PlaythroughEngine engine(hardware, queue);
  engine.setPermissionGranted(true);
  ASSERT_TRUE(waitFor(queue, [&] { return !processesOf(hardware, kMusic).empty(); }));
  engine.createTap(kMusic, processesOf(hardware, kMusic), std::string("desk"));
  ASSERT_TRUE(waitFor(queue, [&] { return onTap(kMusic); }));
  const auto sinksBefore = session().nodesNamed("mixelot.tap.");
  for (pid_t pid : tones_) session().stopTone(pid);
  tones_.clear();

  ASSERT_TRUE(whileRunning(queue, [] { return session().restartWirePlumber(); }));
  // The new session manager links apps as before (a sink of ours that it had to take over after
  // it had played would stall its linking for everyone)... Our loop keeps running meanwhile: the
  // new session manager takes over our nodes, and waits for our answers.
  auto radio = whileRunning(queue, [&] { return session().tone(kRadio, 660, {.pulse = pulse()}); });
  ASSERT_TRUE(radio) << "tone " << kRadio << " did not start";
  tones_.push_back(*radio);
  EXPECT_TRUE(waitFor(queue, [&] { return session().linkedTargets(kRadio) == kOnSpeakers; }));
  // ...and the chain is whole again, on a sink the new session manager saw made.
  const auto chain = engine.chain(kMusic, "desk");
  ASSERT_TRUE(chain);
  const hal::ObjectID aggregate = chain->aggregateDeviceID;
  EXPECT_TRUE(waitFor(queue, [&] {
    return hal::readUInt32(hardware, aggregate, {selector::kDeviceIsAlive}) == 1u;
  }));
  const auto sinksAfter = session().nodesNamed("mixelot.tap.");
  EXPECT_EQ(sinksAfter.size(), 1u);
  EXPECT_NE(sinksAfter, sinksBefore);
  engine.stopAll();
  EXPECT_TRUE(whileRunning(queue, [] { return session().unplug("desk"); }));
}

TEST_F(RecoveryTest, TheDaemonDyingWhileAChainIsBuiltLeavesUsRunning) {
  startTone(kMusic, 440);
  PollMainQueue queue;
  // Long enough that the kill below always lands inside the exchange, never after it timed out.
  PipeWireAudioHardware::Options options;
  options.roundtripTimeout = Seconds(20.0);
  PipeWireAudioHardware hardware(queue, options);
  PlaythroughEngine engine(hardware, queue);
  engine.setPermissionGranted(true);
  ASSERT_TRUE(waitFor(queue, [&] { return !processesOf(hardware, kMusic).empty(); }));
  engine.createTap(kMusic, processesOf(hardware, kMusic));
  ASSERT_TRUE(waitFor(queue, [&] { return onTap(kMusic); }));

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
  engine.createTap(kMusic, processesOf(hardware, kMusic), std::string("headphones"));
  killer.get();
  EXPECT_FALSE(hardware.isConnected());
  EXPECT_EQ(engine.activeDeviceUIDs(kMusic), kOnSpeakers);

  for (pid_t tone : tones_) session().stopTone(tone);
  tones_.clear();
  ASSERT_TRUE(whileRunning(queue, [] { return session().restartPipeWire(); }));
  EXPECT_TRUE(waitFor(queue, [&] {
    return hardware.isConnected() && hardware.connectionCount() == 2;
  })) << "no reconnection";
  engine.stopAll();
}

}  // namespace
}  // namespace mixelot
