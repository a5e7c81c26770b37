#include "platform/PreferencesStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/SystemLog.h"

namespace mixelot {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kFolderName = "com.corvana.Mixelot";
// A write's temporary file: "preferences.json.tmp-" and mkstemp's six random characters.
constexpr std::string_view kTemporaryInfix = ".tmp-";
// Older than this, a temporary file is left over from a writer that died mid-write.
constexpr auto kStaleTemporaryAge = std::chrono::minutes(1);
constexpr std::string_view kCorruptInfix = ".corrupt-";
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

std::string errorText(int error) {
  return std::strerror(error);
}

// ---- Conversions between the file's JSON and property-list values.

Json toJson(const PreferenceValue& value) {
  return std::visit(
      [](const auto& v) -> Json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, PreferenceArray>) {
          Json array = Json::array();
          for (const auto& element : v) array.push_back(toJson(element));
          return array;
        } else if constexpr (std::is_same_v<T, PreferenceDictionary>) {
          Json object = Json::object();
          for (const auto& [key, element] : v) object[key] = toJson(element);
          return object;
        } else {
          return Json(v);
        }
      },
      value.storage());
}

std::optional<PreferenceValue> fromJson(const Json& json) {
  switch (json.type()) {
    case Json::value_t::boolean:
      return PreferenceValue(json.get<bool>());
    case Json::value_t::number_integer:
      return PreferenceValue(json.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return PreferenceValue(json.get<std::uint64_t>());
    case Json::value_t::number_float:
      return PreferenceValue(json.get<double>());
    case Json::value_t::string:
      return PreferenceValue(json.get_ref<const std::string&>());
    case Json::value_t::array: {
      PreferenceArray array;
      for (const auto& element : json)
        if (auto converted = fromJson(element)) array.push_back(std::move(*converted));
      return PreferenceValue(std::move(array));
    }
    case Json::value_t::object: {
      PreferenceDictionary dictionary;
      for (const auto& [key, element] : json.items())
        if (auto converted = fromJson(element)) dictionary.emplace(key, std::move(*converted));
      return PreferenceValue(std::move(dictionary));
    }
    default:  // null, binary, discarded
      return std::nullopt;
  }
}

// ---- Scalar reads: numbers and booleans only.

std::int64_t saturatingInteger(double value) {
  // 2^63 is exactly representable; anything at or past it does not fit.
  constexpr double kLimit = 9223372036854775808.0;
  if (std::isnan(value)) return 0;
  if (value >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (value < -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

float saturatingFloat(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax) return std::numeric_limits<float>::infinity();
  if (value < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

double readDouble(const Json* json) {
  if (!json) return 0.0;
  switch (json->type()) {
    case Json::value_t::boolean:
      return json->get<bool>() ? 1.0 : 0.0;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return json->get<double>();
    default:
      return 0.0;
  }
}

std::int64_t readInteger(const Json* json) {
  if (!json) return 0;
  switch (json->type()) {
    case Json::value_t::boolean:
      return json->get<bool>() ? 1 : 0;
    case Json::value_t::number_integer:
      return json->get<std::int64_t>();
    case Json::value_t::number_unsigned: {
      auto value = json->get<std::uint64_t>();
      constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
      return value > kMax ? std::numeric_limits<std::int64_t>::max()
                          : static_cast<std::int64_t>(value);
    }
    case Json::value_t::number_float:
      return saturatingInteger(json->get<double>());
    default:
      return 0;
  }
}

std::string shortestText(double value) {
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, value);
  return result.ec == std::errc() ? std::string(text, result.ptr) : std::string();
}

// ---- The shapes of whole tables.

std::optional<float> tableFloat(const Json& json) {
  if (!json.is_number()) return std::nullopt;
  double value = json.get<double>();
  if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max())
    return std::nullopt;
  return static_cast<float>(value);
}

std::optional<std::map<std::string, float>> floatTableOf(const Json& json) {
  if (!json.is_object()) return std::nullopt;
  std::map<std::string, float> table;
  for (const auto& [key, element] : json.items()) {
    auto value = tableFloat(element);
    if (!value) return std::nullopt;
    table.emplace(key, *value);
  }
  return table;
}

std::optional<std::vector<std::string>> stringListOf(const Json& json) {
  if (!json.is_array()) return std::nullopt;
  std::vector<std::string> list;
  list.reserve(json.size());
  for (const auto& element : json) {
    if (!element.is_string()) return std::nullopt;
    list.push_back(element.get<std::string>());
  }
  return list;
}

// ---- Files.

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

enum class ReadResult { ok, missing, failed };

ReadResult readWholeFile(const std::string& path, std::string& out, int& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return error == ENOENT ? ReadResult::missing : ReadResult::failed;
  }
  char buffer[16384];
  for (;;) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      error = errno;
      ::close(fd);
      return ReadResult::failed;
    }
    if (count == 0) break;
    out.append(buffer, static_cast<size_t>(count));
  }
  ::close(fd);
  return ReadResult::ok;
}

// Creates `path` and any missing parents with mode 0700, then makes sure `path` itself is 0700:
// it holds only our preferences, which no other user has any business reading.
bool ensureFolder(const std::string& path, int& error) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), kFolderMode) != 0 && errno != EEXIST) {
      error = errno;
      return false;
    }
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    error = errno;
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    error = ENOTDIR;
    return false;
  }
  if ((info.st_mode & 07777) != kFolderMode && ::chmod(path.c_str(), kFolderMode) != 0) {
    error = errno;
    return false;
  }
  return true;
}

std::string utcTimestamp() {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
  return text;
}

// Renames without ever replacing an existing file: an earlier corrupt copy must survive too.
bool renameNoReplace(const std::string& from, const std::string& to, int& error) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  error = errno;
  if (error != EINVAL && error != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: a hard link fails on an existing name as well.
  if (::link(from.c_str(), to.c_str()) != 0) {
    error = errno;
    return false;
  }
  ::unlink(from.c_str());
  return true;
}

}  // namespace

struct PreferencesStore::State {
  State(std::string folder, MainQueue& queue)
      : folder(std::move(folder)),
        path(this->folder + "/" + std::string(kFileName)),
        queue(queue) {}

  void load();
  // A killed writer leaves its temporary file behind; a live one's is at most seconds old.
  void removeStaleTemporaries();
  void moveAside();
  const Json* lookup(std::string_view key) const;
  void changed();
  bool write();
  void reportWriteFailure(std::string_view step, int error);

  std::string folder;
  std::string path;
  MainQueue& queue;
  Json values = Json::object();
  Json defaults = Json::object();
  bool dirty = false;
  // Set when the file on disk could not be read or kept aside: writing would destroy it, so this
  // run keeps its changes in memory only.
  bool keepFileUntouched = false;
  std::optional<TimePoint> firstUnsavedChange;
  Timer writeTimer;
  // The failure already logged in the current run of failures; cleared by a successful write.
  std::string reportedFailure;
};

void PreferencesStore::State::removeStaleTemporaries() {
  std::error_code error;
  std::string prefix = std::string(kFileName) + std::string(kTemporaryInfix);
  auto now = std::filesystem::file_time_type::clock::now();
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (!entry.path().filename().string().starts_with(prefix)) continue;
    auto modified = entry.last_write_time(error);
    if (!error && now - modified > kStaleTemporaryAge) std::filesystem::remove(entry.path(), error);
  }
}

void PreferencesStore::State::load() {
  removeStaleTemporaries();
  std::string text;
  int error = 0;
  switch (readWholeFile(path, text, error)) {
    case ReadResult::missing:
      return;
    case ReadResult::failed:
      keepFileUntouched = true;
      logLine("Preferences file " + path + " could not be read (" + errorText(error) +
              "); started from defaults, and changes will not be saved so as to keep that file");
      return;
    case ReadResult::ok:
      break;
  }
  Json parsed = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    moveAside();
    return;
  }
  values = std::move(parsed);
}

void PreferencesStore::State::moveAside() {
  std::string base = path + std::string(kCorruptInfix) + utcTimestamp();
  int error = 0;
  for (int attempt = 1; attempt <= 100; ++attempt) {
    std::string target = attempt == 1 ? base : base + "-" + std::to_string(attempt);
    if (renameNoReplace(path, target, error)) {
      logLine("Preferences file was corrupt; moved aside to " + target +
              " and started from defaults");
      return;
    }
    if (error != EEXIST) break;
  }
  keepFileUntouched = true;
  logLine("Preferences file " + path + " was corrupt and could not be moved aside (" +
          errorText(error) +
          "); started from defaults, and changes will not be saved so as to keep that file");
}

const Json* PreferencesStore::State::lookup(std::string_view key) const {
  if (auto it = values.find(key); it != values.end()) return &*it;
  if (auto it = defaults.find(key); it != defaults.end()) return &*it;
  return nullptr;
}

void PreferencesStore::State::changed() {
  dirty = true;
  TimePoint now = queue.now();
  if (!firstUnsavedChange) firstUnsavedChange = now;
  auto due = std::min(
      now + std::chrono::duration_cast<TimePoint::duration>(kWriteDelay),
      *firstUnsavedChange + std::chrono::duration_cast<TimePoint::duration>(kMaxWriteDelay));
  Seconds delay = std::max(Seconds(0), Seconds(due - now));
  // Replacing the handle cancels the previously scheduled write.
  writeTimer = queue.schedule(delay, false, [this] {
    firstUnsavedChange.reset();
    if (write()) dirty = false;
  });
}

void PreferencesStore::State::reportWriteFailure(std::string_view step, int error) {
  std::string failure = std::string(step) + ": " + errorText(error);
  // One line per run of failures: a slider dragged on a full disk must not flood the log.
  if (failure == reportedFailure) return;
  reportedFailure = failure;
  logLine("Could not save preferences to " + path + " (" + failure +
          "); keeping the changes in memory and trying again at the next change");
}

bool PreferencesStore::State::write() {
  if (keepFileUntouched) return false;
  int error = 0;
  if (!ensureFolder(folder, error)) {
    reportWriteFailure("creating the folder", error);
    return false;
  }
  // error_handler_t::replace: a string with invalid UTF-8 must not make the write throw.
  std::string text = values.dump(2, ' ', false, Json::error_handler_t::replace);
  text.push_back('\n');

  // A temporary file of its own for every write: two processes writing at once (a second
  // instance, a test) never write into each other's file, and the rename makes one of them whole.
  // The main file is only ever replaced by a complete, synced temporary file.
  std::string temporary = path + std::string(kTemporaryInfix) + "XXXXXX";
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    reportWriteFailure("creating the temporary file", errno);
    return false;
  }
  const char* step = nullptr;
  if (::fchmod(fd, kFileMode) != 0)
    step = "setting its mode";
  else if (!writeAll(fd, text))
    step = "writing";
  else if (::fsync(fd) != 0)
    step = "syncing";
  if (step) error = errno;
  if (::close(fd) != 0 && !step) {
    step = "closing";
    error = errno;
  }
  if (!step && ::rename(temporary.c_str(), path.c_str()) != 0) {
    step = "replacing the file";
    error = errno;
  }
  if (step) {
    ::unlink(temporary.c_str());
    reportWriteFailure(step, error);
    return false;
  }
  // The rename is durable only once the folder entry is on disk.
  int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0 || ::fsync(folderFd) != 0) {
    error = errno;
    if (folderFd >= 0) ::close(folderFd);
    reportWriteFailure("syncing the folder", error);
    return false;
  }
  ::close(folderFd);
  reportedFailure.clear();
  return true;
}

// ---- PreferencesStore

std::string PreferencesStore::defaultFolder() {
  std::string base;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    std::string homeFolder = home && home[0] == '/' ? home : "";
    if (homeFolder.empty()) {
      if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        homeFolder = entry->pw_dir;
    }
    base = homeFolder + "/.config";
  }
  return base + "/" + std::string(kFolderName);
}

PreferencesStore::PreferencesStore(std::string folder, MainQueue& queue)
    : state_(std::make_unique<State>(std::move(folder), queue)) {
  state_->load();
}

PreferencesStore::~PreferencesStore() {
  flush();
}

void PreferencesStore::registerDefaults(const PreferenceDictionary& defaults) {
  for (const auto& [key, value] : defaults) state_->defaults[key] = toJson(value);
}

std::optional<PreferenceValue> PreferencesStore::object(std::string_view key) const {
  const Json* json = state_->lookup(key);
  return json ? fromJson(*json) : std::nullopt;
}

float PreferencesStore::floatValue(std::string_view key) const {
  return saturatingFloat(readDouble(state_->lookup(key)));
}

double PreferencesStore::doubleValue(std::string_view key) const {
  return readDouble(state_->lookup(key));
}

std::int64_t PreferencesStore::integerValue(std::string_view key) const {
  return readInteger(state_->lookup(key));
}

bool PreferencesStore::boolValue(std::string_view key) const {
  const Json* json = state_->lookup(key);
  if (!json) return false;
  switch (json->type()) {
    case Json::value_t::boolean:
      return json->get<bool>();
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return json->get<double>() != 0.0;
    default:
      return false;
  }
}

std::optional<std::string> PreferencesStore::stringValue(std::string_view key) const {
  const Json* json = state_->lookup(key);
  if (!json) return std::nullopt;
  switch (json->type()) {
    case Json::value_t::string:
      return json->get<std::string>();
    case Json::value_t::number_integer:
      return std::to_string(json->get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return std::to_string(json->get<std::uint64_t>());
    case Json::value_t::number_float:
      return shortestText(json->get<double>());
    default:
      return std::nullopt;
  }
}

std::optional<std::vector<std::string>> PreferencesStore::stringArray(std::string_view key) const {
  const Json* json = state_->lookup(key);
  return json ? stringListOf(*json) : std::nullopt;
}

std::optional<PreferenceDictionary> PreferencesStore::dictionary(std::string_view key) const {
  const Json* json = state_->lookup(key);
  if (!json || !json->is_object()) return std::nullopt;
  return *fromJson(*json)->asDictionary();
}

std::optional<std::map<std::string, float>> PreferencesStore::floatTable(
    std::string_view key) const {
  const Json* json = state_->lookup(key);
  return json ? floatTableOf(*json) : std::nullopt;
}

std::optional<std::map<std::string, std::map<std::string, float>>>
PreferencesStore::nestedFloatTable(std::string_view key) const {
  const Json* json = state_->lookup(key);
  if (!json || !json->is_object()) return std::nullopt;
  std::map<std::string, std::map<std::string, float>> table;
  for (const auto& [outer, element] : json->items()) {
    auto inner = floatTableOf(element);
    if (!inner) return std::nullopt;
    table.emplace(outer, std::move(*inner));
  }
  return table;
}

std::optional<std::map<std::string, std::vector<std::string>>> PreferencesStore::stringListTable(
    std::string_view key) const {
  const Json* json = state_->lookup(key);
  if (!json || !json->is_object()) return std::nullopt;
  std::map<std::string, std::vector<std::string>> table;
  for (const auto& [entry, element] : json->items()) {
    auto list = stringListOf(element);
    if (!list) return std::nullopt;
    table.emplace(entry, std::move(*list));
  }
  return table;
}

std::optional<std::map<std::string, std::string>> PreferencesStore::stringTable(
    std::string_view key) const {
  const Json* json = state_->lookup(key);
  if (!json || !json->is_object()) return std::nullopt;
  std::map<std::string, std::string> table;
  for (const auto& [entry, element] : json->items()) {
    if (!element.is_string()) return std::nullopt;
    table.emplace(entry, element.get<std::string>());
  }
  return table;
}

void PreferencesStore::set(std::string_view key, const PreferenceValue& value) {
  Json json = toJson(value);
  auto it = state_->values.find(key);
  if (it != state_->values.end() && *it == json) return;
  state_->values[std::string(key)] = std::move(json);
  state_->changed();
}

void PreferencesStore::remove(std::string_view key) {
  auto it = state_->values.find(key);
  if (it == state_->values.end()) return;
  state_->values.erase(it);
  state_->changed();
}

bool PreferencesStore::flush() {
  if (!state_->dirty) return true;
  state_->writeTimer.cancel();
  state_->firstUnsavedChange.reset();
  if (!state_->write()) return false;
  state_->dirty = false;
  return true;
}

const std::string& PreferencesStore::folder() const {
  return state_->folder;
}

std::string PreferencesStore::filePath() const {
  return state_->path;
}

}  // namespace mixelot
