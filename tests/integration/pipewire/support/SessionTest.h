#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "platform/PollMainQueue.h"
#include "support/PrivateSession.h"

namespace mixelot::testsupport {

// What `PrivateSession::tone` plays: a sine of amplitude 0.5, whose RMS level is
// 20 log10(0.5 / sqrt 2); and how far a measured level may stray from an expected one.
inline constexpr double kToneLevel = -9.03;
inline constexpr double kTolerance = 0.5;

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

inline PrivateSession& session() {
  return SessionEnvironment::session();
}

// Skips nothing: a session that cannot start fails the test with the reason.
#define MIXELOT_REQUIRE_SESSION()                            \
  ASSERT_TRUE(::mixelot::testsupport::session().isRunning()) \
      << "private PipeWire session: " << ::mixelot::testsupport::session().error()

// The main cases run for an app of either kind: a client of the daemon, and one that plays
// through the PulseAudio server (identified by what that server reports for it).
inline constexpr bool kPulseClients[] = {false, true};
inline std::string clientKind(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "PulseAudio" : "Native";
}

// Runs the main queue until `done` holds or `timeout` passes.
inline bool waitFor(PollMainQueue& queue, const std::function<bool()>& done, double timeout = 5.0) {
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

}  // namespace mixelot::testsupport
