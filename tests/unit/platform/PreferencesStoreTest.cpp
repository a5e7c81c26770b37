#include "platform/PreferencesStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
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
#include "platform/SystemLog.h"
#include "support/TempFolder.h"

namespace mixelot {
namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

std::string readText(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Counts replacements of the preferences file as the kernel reports them, so the test sees
// what reached the disk rather than what the store thinks it did.
struct FileReplacementCounter {
  explicit FileReplacementCounter(const std::string& folder) {
    inotify_add_watch(fd, folder.c_str(), IN_MOVED_TO);
  }
  ~FileReplacementCounter() { close(fd); }
  int take() {
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        count += event->len > 0 && event->name == std::string(PreferencesStore::kFileName);
        p += sizeof(inotify_event) + event->len;
      }
    return count;
  }
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
};

class PreferencesStoreTest : public ::testing::Test {
 protected:
  std::string file() const { return folder / "preferences.json"; }
  Json fileJson() const { return Json::parse(readText(file())); }
  void writeFile(const std::string& text) { std::ofstream(file(), std::ios::binary) << text; }
  std::vector<fs::path> corruptAsides() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder.path()))
      if (entry.path().filename().string().starts_with("preferences.json.corrupt-"))
        found.push_back(entry.path());
    return found;
  }

  testsupport::TempFolder folder;
  ManualMainQueue queue;
};

TEST_F(PreferencesStoreTest, TypedReadsConvertNumbersAndBooleansOnly) {
  PreferencesStore store(folder.path(), queue);
  store.set("real", -2.75);
  store.set("hugeReal", 1e300);
  store.set("numericText", " 12.5abc");
  store.set("yes", "YES");
  store.set("mixedList", PreferenceArray{"a", 1});
  EXPECT_EQ(store.integerValue("real"), -2);  // truncates toward zero
  EXPECT_EQ(store.integerValue("hugeReal"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(store.floatValue("hugeReal"), std::numeric_limits<float>::infinity());
  // Text is never taken for a number or a truth value.
  EXPECT_EQ(store.integerValue("numericText"), 0);
  EXPECT_EQ(store.floatValue("numericText"), 0.0f);
  EXPECT_FALSE(store.boolValue("yes"));
  EXPECT_FALSE(store.stringArray("mixedList"));

  // Integer and real stay apart, in memory and through the file.
  store.set("one", 1);
  store.set("oneReal", 1.0);
  ASSERT_TRUE(store.flush());
  PreferencesStore reread(folder.path(), queue);
  EXPECT_TRUE(reread.object("one")->isInteger());
  EXPECT_TRUE(reread.object("oneReal")->isReal());
  EXPECT_EQ(reread.object("mixedList"), store.object("mixedList"));
}

TEST_F(PreferencesStoreTest, RegisteredDefaultsApplyOnlyToUnwrittenKeysAndNeverReachTheFile) {
  PreferencesStore store(folder.path(), queue);
  store.registerDefaults({{"hotkeyKeyCode", -1}, {"launchAtLogin", true}});
  store.registerDefaults({{"hotkeyKeyCode", -2}});  // a later registration wins
  EXPECT_EQ(store.integerValue("hotkeyKeyCode"), -2);

  store.set("hotkeyKeyCode", 0);
  store.set("launchAtLogin", false);
  EXPECT_EQ(store.integerValue("hotkeyKeyCode"), 0);  // a written 0 is not "absent"
  EXPECT_FALSE(store.boolValue("launchAtLogin"));
  store.remove("hotkeyKeyCode");
  EXPECT_EQ(store.integerValue("hotkeyKeyCode"), -2);

  ASSERT_TRUE(store.flush());
  EXPECT_EQ(fileJson(), (Json{{"launchAtLogin", false}}));
}

TEST_F(PreferencesStoreTest, TablesAreReadWholeOrNotAtAll) {
  PreferencesStore store(folder.path(), queue);
  std::map<std::string, float> volumes{{"org.example.Player", 0.3f}, {"org.example.Chat", 1.0f}};
  store.set("savedVolumes", volumes);
  std::map<std::string, std::map<std::string, float>> perDevice{
      {"sink-a", {{"org.example.Player", 0.25f}}}, {"sink-b", {}}};
  store.set("deviceSpecificVolumes", perDevice);
  std::map<std::string, std::vector<std::string>> routing{{"org.example.Player", {"b", "a"}}};
  store.set("appDeviceRouting", routing);
  EXPECT_EQ(store.stringListTable("appDeviceRouting"), routing);
  EXPECT_FALSE(store.stringTable("appDeviceRouting"));

  // An integer reads as a float; anything else spoils the whole table.
  store.set("t", PreferenceDictionary{{"a", 0.5}, {"b", 1}});
  EXPECT_EQ(store.floatTable("t"), (std::map<std::string, float>{{"a", 0.5f}, {"b", 1.0f}}));
  for (const PreferenceValue& bad :
       {PreferenceValue("0.5"), PreferenceValue(true), PreferenceValue(1e39),
        PreferenceValue(-1e39), PreferenceValue(PreferenceArray{0.5})}) {
    store.set("t", PreferenceDictionary{{"a", 0.5}, {"b", bad}});
    EXPECT_FALSE(store.floatTable("t"));
    store.set("n", PreferenceDictionary{{"dev", PreferenceDictionary{{"a", 0.5}}},
                                        {"other", PreferenceDictionary{{"b", bad}}}});
    EXPECT_FALSE(store.nestedFloatTable("n"));
  }
  store.set("r", PreferenceDictionary{{"a", std::vector<std::string>{"x"}},
                                      {"b", PreferenceArray{"y", 2}}});
  EXPECT_FALSE(store.stringListTable("r"));
  // The older routing shape: one device per application.
  store.set("r", std::map<std::string, std::string>{{"a", "x"}});
  EXPECT_FALSE(store.stringListTable("r"));
  EXPECT_EQ(store.stringTable("r"), (std::map<std::string, std::string>{{"a", "x"}}));

  // Floats come back exactly and are written short.
  ASSERT_TRUE(store.flush());
  EXPECT_NE(readText(file()).find("0.3\n"), std::string::npos) << readText(file());
  PreferencesStore reread(folder.path(), queue);
  EXPECT_EQ(reread.floatTable("savedVolumes"), volumes);
  EXPECT_EQ(reread.nestedFloatTable("deviceSpecificVolumes"), perDevice);
}

TEST_F(PreferencesStoreTest, WritesAreCoalescedAndOnDiskSoonAfterTheLastChange) {
  PreferencesStore store(folder.path(), queue);
  store.set("warmUp", 1);
  ASSERT_TRUE(store.flush());  // creates the folder so it can be watched
  FileReplacementCounter writes(folder.path());

  // A slider dragged for 3 s at 60 changes a second.
  int total = 0;
  for (int i = 1; i <= 180; ++i) {
    store.set("defaultVolume", i / 180.0f);
    EXPECT_EQ(store.floatValue("defaultVolume"), i / 180.0f);  // reads see writes at once
    queue.advance(Seconds(1.0 / 60));
    total += writes.take();
  }
  EXPECT_GE(total, 2);  // some progress reaches the disk during a long drag...
  EXPECT_LE(total, 4);  // ...at about one write a second
  queue.advance(PreferencesStore::kWriteDelay);
  EXPECT_EQ(writes.take(), 1);
  EXPECT_EQ(fileJson()["defaultVolume"], 1.0);

  // A single change waits the short delay, then is written once; nothing more follows.
  store.set("hiddenApps", std::vector<std::string>{"org.example.Player"});
  queue.advance(Seconds(0.2));
  EXPECT_EQ(writes.take(), 0);
  queue.advance(Seconds(0.1));
  EXPECT_EQ(writes.take(), 1);
  queue.advance(Seconds(5));
  EXPECT_EQ(writes.take(), 0);

  // A pending change is written by flush, and by the destructor.
  store.set("launchAtLogin", false);
  EXPECT_TRUE(store.flush());
  EXPECT_EQ(writes.take(), 1);
  queue.advance(Seconds(1));
  EXPECT_EQ(writes.take(), 0);
  {
    PreferencesStore shortLived(folder.path(), queue);
    shortLived.set("onboardingShown", true);
  }
  EXPECT_EQ(fileJson()["onboardingShown"], true);
}

TEST_F(PreferencesStoreTest, CorruptFileIsKeptAsideAndDefaultsApply) {
  CapturingLog log;
  const std::string garbage = "{\"defaultVolume\": 0.5, \"launchAtLogin\": fal";
  writeFile(garbage);
  {
    PreferencesStore store(folder.path(), queue);
    store.registerDefaults({{"defaultVolume", 1.0f}});
    EXPECT_EQ(store.floatValue("defaultVolume"), 1.0f);
    store.set("hotkeyKeyCode", 3);
    EXPECT_TRUE(store.flush());
  }
  auto corrupt = corruptAsides();
  ASSERT_EQ(corrupt.size(), 1u);
  EXPECT_EQ(readText(corrupt[0]), garbage);
  EXPECT_EQ(fileJson(), (Json{{"hotkeyKeyCode", 3}}));
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"[Mixelot] Preferences file was corrupt; moved aside to " +
                                     corrupt[0].string() + " and started from defaults"});

  // A top level that is not an object counts as corrupt too, and a second corrupt file in the
  // same second does not replace the first.
  writeFile("[1, 2]");
  { PreferencesStore store(folder.path(), queue); }
  EXPECT_EQ(corruptAsides().size(), 2u);
  EXPECT_EQ(readText(corrupt[0]), garbage);
}

TEST_F(PreferencesStoreTest, FileThatCannotBeReadIsNeverReplaced) {
  CapturingLog log;
  fs::create_directory(file());  // opens, but does not read
  PreferencesStore store(folder.path(), queue);
  store.set("launchAtLogin", false);
  EXPECT_FALSE(store.flush());
  EXPECT_FALSE(store.boolValue("launchAtLogin"));
  EXPECT_TRUE(fs::is_directory(file()));
  EXPECT_TRUE(log.contains("could not be read"));
}

TEST_F(PreferencesStoreTest, UnknownKeysSurviveRewrites) {
  Json original = {{"SUEnableAutomaticChecks", true},
                   {"futureKey", {{"nested", {1, "two", nullptr, 3.5}}, {"n", nullptr}}},
                   {"bigCount", 18446744073709551615ull},
                   {"defaultVolume", 0.5}};
  writeFile(original.dump());
  PreferencesStore store(folder.path(), queue);
  store.set("defaultVolume", 0.75f);
  ASSERT_TRUE(store.flush());

  original["defaultVolume"] = 0.75;
  EXPECT_EQ(fileJson(), original);
  // Nulls have no property-list form: left out of what is read, kept in the file.
  EXPECT_EQ(store.object("futureKey"),
            PreferenceValue(PreferenceDictionary{{"nested", PreferenceArray{1, "two", 3.5}}}));
}

TEST_F(PreferencesStoreTest, FolderAndFileArePrivate) {
  mode_t previous = umask(0);  // so the modes come from the store, not from the umask
  std::string nested = folder / "config/com.corvana.Mixelot";
  PreferencesStore(nested, queue).set("launchAtLogin", true);
  umask(previous);
  struct stat info {};
  ASSERT_EQ(stat(nested.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  ASSERT_EQ(stat((nested + "/preferences.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(PreferencesStoreTest, FailedWriteIsLoggedOnceKeepsValuesAndRetriesAtTheNextChange) {
  CapturingLog log;
  PreferencesStore store(folder.path(), queue);
  // A directory where the file goes makes every rename fail, even for root.
  fs::create_directory(file());
  for (int i = 1; i <= 30; ++i) {
    store.set("defaultVolume", i / 30.0f);
    queue.advance(Seconds(0.1));
  }
  queue.advance(Seconds(2));
  EXPECT_FALSE(store.flush());
  EXPECT_EQ(store.floatValue("defaultVolume"), 1.0f);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.contains("Could not save preferences to " + file()));
  // Every failed write took its temporary file away again.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);

  fs::remove(file());
  store.set("launchAtLogin", false);
  queue.advance(Seconds(1));
  EXPECT_EQ(fileJson(), (Json{{"defaultVolume", 1.0}, {"launchAtLogin", false}}));
}

TEST(PreferencesStoreFolder, FollowsXdgConfigHomeElseHome) {
  std::map<std::string, std::optional<std::string>> saved;
  for (const char* name : {"XDG_CONFIG_HOME", "HOME"})
    saved[name] = std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
  setenv("HOME", "/home/someone", 1);
  setenv("XDG_CONFIG_HOME", "/somewhere/config", 1);
  EXPECT_EQ(PreferencesStore::defaultFolder(), "/somewhere/config/com.corvana.Mixelot");
  setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
  EXPECT_EQ(PreferencesStore::defaultFolder(), "/home/someone/.config/com.corvana.Mixelot");
  for (const auto& [name, value] : saved)
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
}

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
