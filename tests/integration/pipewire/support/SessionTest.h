#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/PollMainQueue.h"
#include "support/PrivateSession.h"

namespace mixelot::testsupport {

// What `PrivateSession::tone` plays: a sine of amplitude 0.5, whose RMS level is
// 20 log10(0.5 / sqrt 2); how far a measured level may stray from an expected one; and what
// counts as silence.
inline constexpr double kToneLevel = -9.03;
inline constexpr double kTolerance = 0.5;
inline constexpr double kSilence = -60.0;

// One private session per test binary, started before the first test and stopped after the last
// (or by its watchdog when the binary dies). Tests reach it through session().
class SessionEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { session_ = std::make_unique<PrivateSession>(); }
  void TearDown() override { session_.reset(); }
  static PrivateSession& session() { return *session_; }

 private:
  static inline std::unique_ptr<PrivateSession> session_;
};
// Every binary that includes this registers the environment, once.
inline ::testing::Environment* const kSessionEnvironment =
    ::testing::AddGlobalTestEnvironment(new SessionEnvironment);

inline PrivateSession& session() {
  return SessionEnvironment::session();
}

// Skips nothing: a session that cannot start fails the test with the reason.
#define MIXELOT_REQUIRE_SESSION()                            \
  ASSERT_TRUE(::mixelot::testsupport::session().isRunning()) \
      << "private PipeWire session: " << ::mixelot::testsupport::session().error()

// Runs the main queue until `done` holds or `timeout` passes.
inline bool waitFor(PollMainQueue& queue, const std::function<bool()>& done,
                    double timeout = 10.0) {
  return queue.runUntil(done, Seconds(timeout));
}

// Runs `work` on another thread while the main queue keeps running (our PipeWire loop lives on
// it), and returns its result: for the slow shell helpers (levels, recordings, tones).
template <typename Work>
auto whileRunning(PollMainQueue& queue, Work work) -> decltype(work()) {
  auto future = std::async(std::launch::async, std::move(work));
  queue.runUntil(
      [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
      Seconds(60));
  return future.get();
}

// RMS levels (dB) of the left channel of a recording (interleaved stereo at 48 kHz) in
// consecutive windows of `seconds`.
inline std::vector<double> windowLevels(const std::vector<float>& samples, double seconds = 0.01) {
  const size_t window = static_cast<size_t>(48000 * seconds);
  std::vector<double> levels;
  for (size_t start = 0; start + window * 2 <= samples.size(); start += window * 2) {
    double sum = 0;
    for (size_t i = 0; i < window; ++i) sum += std::pow(samples[start + 2 * i], 2);
    levels.push_back(20 * std::log10(std::sqrt(sum / static_cast<double>(window)) + 1e-12));
  }
  return levels;
}

// A sound in a run of window levels: consecutive windows above silence. Its level is the RMS of
// its windows but the first and the last, which it fills only in part; its loudest window is
// any of them.
struct Sound {
  size_t firstWindow = 0;
  size_t windows = 0;
  double level = -1000.0;
  double loudest = -1000.0;
};
inline std::vector<Sound> soundsIn(const std::vector<double>& levels) {
  std::vector<Sound> sounds;
  for (size_t i = 0; i < levels.size();) {
    if (levels[i] < kSilence) {
      ++i;
      continue;
    }
    Sound sound{i, 0, -1000.0, -1000.0};
    double power = 0;
    for (; i < levels.size() && levels[i] >= kSilence; ++i, ++sound.windows) {
      sound.loudest = std::max(sound.loudest, levels[i]);
      if (i > sound.firstWindow) power += std::pow(10.0, levels[i] / 10);
    }
    // Without the last window either: the sum above took it.
    if (sound.windows > 2) {
      power -= std::pow(10.0, levels[i - 1] / 10);
      sound.level = 10 * std::log10(power / static_cast<double>(sound.windows - 2));
    }
    sounds.push_back(sound);
  }
  return sounds;
}

// Whether an app's streams play into one sink of ours and nowhere else.
inline bool onTap(const std::string& app) {
  auto targets = session().linkedTargets(app);
  return targets.size() == 1 && targets[0].starts_with("mixelot.tap.");
}

// Whether an app's streams play to `device` and nowhere else.
inline bool linkedTo(const std::string& app, const std::string& device) {
  return session().linkedTargets(app) == std::vector<std::string>{device};
}

// A test with a session, its tone apps (ended after it) and levels measured while a main queue
// keeps running.
class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override { MIXELOT_REQUIRE_SESSION(); }
  void TearDown() override { stopTones(); }

  // Whether the tones play through the PulseAudio server: set by the parameterised suites.
  virtual bool pulse() const { return false; }
  // Starts a tone app; with a queue, while that keeps running (the daemon waits for our nodes
  // when a new stream joins them).
  void startTone(const std::string& app, int frequency, PrivateSession::ToneOptions options = {},
                 PollMainQueue* running = nullptr) {
    options.pulse = options.pulse || pulse();
    auto start = [&] { return session().tone(app, frequency, options); };
    auto pid = running ? whileRunning(*running, start) : start();
    ASSERT_TRUE(pid) << "tone " << app << " did not start";
    tones_.push_back(*pid);
  }
  // Starts a chat-like app (PrivateSession::pings); ended after the test like the tones.
  void startPings(const std::string& app, int frequency, PrivateSession::PingOptions options = {}) {
    auto pid = session().pings(app, frequency, options);
    ASSERT_TRUE(pid) << "pings of " << app << " did not start";
    tones_.push_back(*pid);
  }
  void stopTones() {
    for (pid_t pid : tones_) session().stopTone(pid);
    tones_.clear();
  }

  static double level(PollMainQueue& queue, const std::string& device) {
    auto measured = whileRunning(queue, [&] { return session().level(device); });
    EXPECT_TRUE(measured) << "could not measure " << device;
    if (measured) std::printf("  level on %s: %.2f dB\n", device.c_str(), *measured);
    return measured.value_or(-1000.0);
  }
  // The speakers' and the headphones' levels, measured at once.
  static std::pair<double, double> levels(PollMainQueue& queue) {
    auto result = whileRunning(queue, [&] {
      auto speakers = std::async(std::launch::async, [] { return session().level("speakers"); });
      auto headphones = session().level("headphones");
      return std::make_pair(speakers.get().value_or(-1000.0), headphones.value_or(-1000.0));
    });
    std::printf("  levels: speakers %.2f dB, headphones %.2f dB\n", result.first, result.second);
    return result;
  }

  std::vector<pid_t> tones_;
};

// The main cases run for an app of either kind: a client of the daemon, and one that plays
// through the PulseAudio server (identified by what that server reports for it).
template <typename Fixture>
class ForEitherClient : public Fixture, public ::testing::WithParamInterface<bool> {
 protected:
  bool pulse() const override { return this->GetParam(); }
};
#define MIXELOT_FOR_EITHER_CLIENT(Suite)                                    \
  INSTANTIATE_TEST_SUITE_P(, Suite, ::testing::Values(false, true),         \
                           [](const ::testing::TestParamInfo<bool>& info) { \
                             return info.param ? "PulseAudio" : "Native";   \
                           })

}  // namespace mixelot::testsupport
