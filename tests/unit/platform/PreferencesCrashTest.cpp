#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
using Clock = std::chrono::steady_clock;

// Version n of the content written by writer w: a counter, a payload whose size swings between
// 200 B and 8 KB with n and w (so a version is often shorter than a half-written file a killed
// writer left behind), and one of a rotating set of keys stamped with n, so the file keeps growing
// and every key tells which version wrote it.
constexpr std::int64_t kSlots = 200;

std::string payload(std::int64_t n, std::int64_t writer) {
  return std::string(200 + static_cast<size_t>((n * 7919 + writer * 3571) % 8000),
                     static_cast<char>('a' + n % 26));
}

[[noreturn]] void runWriter(const std::string& folder, std::int64_t writer) {
  ManualMainQueue queue;
  PreferencesStore store(folder, queue);
  for (std::int64_t n = store.integerValue("counter") + 1;; ++n) {
    store.set("counter", n);
    store.set("writer", writer);
    store.set("payload", payload(n, writer));
    store.set("slot" + std::to_string(n % kSlots), n);
    if (!store.flush()) _exit(3);
  }
}

// Whether the file is exactly one complete version, and which (0 while there is no file).
::testing::AssertionResult readVersion(const std::string& file, std::int64_t& version) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  version = 0;
  if (!in) return ::testing::AssertionSuccess();
  Json json = Json::parse(text.str(), nullptr, false);
  if (json.is_discarded() || !json.is_object() || !json["counter"].is_number_integer() ||
      !json["writer"].is_number_integer())
    return ::testing::AssertionFailure() << "not a version (" << text.str().size() << " bytes)";
  std::int64_t n = json["counter"].get<std::int64_t>();
  if (json["payload"] != payload(n, json["writer"].get<std::int64_t>()))
    return ::testing::AssertionFailure() << "payload of another version than " << n;
  size_t slots = 0;
  for (const auto& [key, value] : json.items()) {
    if (!key.starts_with("slot")) continue;
    ++slots;
    // The newest version at or before n that wrote this slot.
    std::int64_t slot = std::stoll(key.substr(4));
    if (value != n - ((n - slot) % kSlots + kSlots) % kSlots)
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
  const char* wanted = std::getenv("MIXELOT_PREFERENCES_KILLS");
  const int kills = wanted ? std::atoi(wanted) : 200;
  unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  // The kill comes 0 to maxDelay µs after the fork. On a slow disk the window widens until
  // writers get some versions out, so the kills keep landing in the middle of writes.
  constexpr int kShortestMaxDelay = 12000;
  int maxDelay = kShortestMaxDelay;
  testsupport::TempFolder folder;
  std::int64_t newest = 0;
  auto start = Clock::now();
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

    std::int64_t version = 0;
    ASSERT_TRUE(readVersion(folder / "preferences.json", version))
        << "round " << round << ", seed " << seed;
    ASSERT_GE(version, newest) << "round " << round << ", seed " << seed;
    maxDelay = version > newest ? std::max(kShortestMaxDelay, maxDelay * 9 / 10)
                                : std::min(250000, maxDelay * 3 / 2);
    newest = version;
  }
  std::cout << "[ crash    ] " << kills << " kills in "
            << std::chrono::duration<double>(Clock::now() - start).count() << " s, newest version "
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
  pid_t writers[2];
  for (std::int64_t w = 0; w < 2; ++w) {
    writers[w] = fork();
    ASSERT_GE(writers[w], 0);
    if (writers[w] == 0) runWriter(folder.path(), w + 1);
  }
  int reads = 0, missing = 0;
  std::string failure;
  // Three seconds and at least 200 reads, unless the writers never get a file out.
  auto start = Clock::now();
  for (auto elapsed = Clock::duration(); failure.empty() && elapsed < std::chrono::seconds(30) &&
                                         (elapsed < std::chrono::seconds(3) || reads < 200);
       elapsed = Clock::now() - start) {
    std::int64_t version = 0;
    if (auto complete = readVersion(folder / "preferences.json", version); !complete)
      failure = "read " + std::to_string(reads) + ": " + complete.message();
    (version ? reads : missing)++;
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
