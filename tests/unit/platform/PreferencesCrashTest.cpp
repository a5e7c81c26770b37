#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "platform/ManualMainQueue.h"
#include "platform/PreferencesStore.h"
#include "support/TempFolder.h"

namespace mixelot {
namespace {

using Json = nlohmann::json;

// Version n of the content written by writer w: a counter, a payload whose size swings between
// 200 B and 8 KB with n and w (so a version is often shorter than a half-written file a killed
// writer left behind), and one of a rotating set of keys stamped with n, so the file keeps growing
// and every key tells which version wrote it.
constexpr std::int64_t kSlots = 200;

std::string payload(std::int64_t n, std::int64_t writer) {
  return std::string(200 + static_cast<size_t>((n * 7919 + writer * 3571) % 8000),
                     static_cast<char>('a' + n % 26));
}

std::string slotKey(std::int64_t n) {
  return "slot" + std::to_string(n % kSlots);
}

[[noreturn]] void runWriter(const std::string& folder, std::int64_t writer) {
  ManualMainQueue queue;
  PreferencesStore store(folder, queue);
  for (std::int64_t n = store.integerValue("counter") + 1;; ++n) {
    store.set("counter", n);
    store.set("writer", writer);
    store.set("payload", payload(n, writer));
    store.set(slotKey(n), n);
    if (!store.flush()) _exit(3);
  }
}

// Whether `text` is exactly one complete version, and which.
::testing::AssertionResult isCompleteVersion(const std::string& text, std::int64_t& version) {
  Json json = Json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object())
    return ::testing::AssertionFailure() << "does not parse (" << text.size() << " bytes)";
  if (!json["counter"].is_number_integer() || !json["writer"].is_number_integer())
    return ::testing::AssertionFailure() << "no counter or writer";
  std::int64_t n = json["counter"].get<std::int64_t>();
  if (json["payload"] != payload(n, json["writer"].get<std::int64_t>()))
    return ::testing::AssertionFailure() << "payload of another version than " << n;
  size_t slots = 0;
  for (const auto& [key, value] : json.items()) {
    if (!key.starts_with("slot")) continue;
    ++slots;
    std::int64_t slot = std::stoll(key.substr(4));
    // The newest version at or before n that wrote this slot.
    std::int64_t expected = n - ((n - slot) % kSlots + kSlots) % kSlots;
    if (value != expected)
      return ::testing::AssertionFailure() << key << " = " << value << " in version " << n;
  }
  if (slots != static_cast<size_t>(std::min(n, kSlots)))
    return ::testing::AssertionFailure() << slots << " slots in version " << n;
  version = n;
  return ::testing::AssertionSuccess();
}

// A writer process is killed with SIGKILL at random moments (while starting, while writing the
// temporary file, between the fsync and the rename...). After every kill the main file must be
// one complete version, never older than one seen before, and the next writer carries on from it.
TEST(PreferencesCrashSafety, FileIsAlwaysACompleteVersionAfterSigkill) {
  int kills = 200;
  if (const char* wanted = std::getenv("MIXELOT_PREFERENCES_KILLS")) kills = std::atoi(wanted);
  unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  // The kill comes 0 to maxDelay after the fork. On a slow disk the window widens until writers
  // get some versions out, so the kills keep landing in the middle of writes.
  constexpr int kShortestMaxDelay = 12000;
  int maxDelay = kShortestMaxDelay;
  testsupport::TempFolder folder;
  const std::string file = folder / "preferences.json";

  std::int64_t newest = 0;
  int killed = 0;
  auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < kills; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) runWriter(folder.path(), round);
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, maxDelay)(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the writer ended by itself, status " << status;
    ++killed;

    std::ifstream in(file, std::ios::binary);
    if (!in) {
      ASSERT_EQ(newest, 0) << "the file disappeared after round " << round;
      continue;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::int64_t version = 0;
    ASSERT_TRUE(isCompleteVersion(text.str(), version)) << "round " << round << ", seed " << seed;
    ASSERT_GE(version, newest) << "round " << round << ", seed " << seed;
    maxDelay = version > newest ? std::max(kShortestMaxDelay, maxDelay * 9 / 10)
                                : std::min(250000, maxDelay * 3 / 2);
    newest = version;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << "[ crash    ] " << killed << " kills in " << seconds << " s, newest version "
            << newest << ", seed " << seed << "\n";
  EXPECT_GT(newest, kills / 4);  // the kills landed while writing, not only during start-up
  for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
    EXPECT_FALSE(entry.path().filename().string().starts_with("preferences.json.corrupt"))
        << "a writer found a broken main file";
}

// Two processes write the same store as fast as they can while the file is read over and over:
// every read is one writer's complete version, and neither writer ever fails.
TEST(PreferencesCrashSafety, TwoWritersAtOnceNeverLeaveAPartialFile) {
  testsupport::TempFolder folder;
  const std::string file = folder / "preferences.json";
  pid_t writers[2];
  for (std::int64_t w = 0; w < 2; ++w) {
    writers[w] = fork();
    ASSERT_GE(writers[w], 0);
    if (writers[w] == 0) runWriter(folder.path(), w + 1);
  }
  int reads = 0;
  int missing = 0;
  std::string failure;
  // Three seconds and at least 200 reads, unless the writers never get a file out.
  auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::steady_clock::now() - start; };
  while (failure.empty() && elapsed() < std::chrono::seconds(30) &&
         (elapsed() < std::chrono::seconds(3) || reads < 200)) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      ++missing;
      continue;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::int64_t version = 0;
    if (auto complete = isCompleteVersion(text.str(), version); !complete)
      failure = "read " + std::to_string(reads) + ": " + complete.message();
    ++reads;
  }
  for (pid_t writer : writers) {
    int status = 0;
    if (waitpid(writer, &status, WNOHANG) == writer)
      failure += " a writer ended by itself, status " + std::to_string(status);
    kill(writer, SIGKILL);
    waitpid(writer, &status, 0);
  }
  std::cout << "[ writers  ] " << reads << " reads, " << missing << " before the first write\n";
  EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace mixelot
