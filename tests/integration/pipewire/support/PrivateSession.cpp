#include "support/PrivateSession.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace mixelot::testsupport {
namespace {

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The nodes of a pw-dump graph: (id, properties) for each.
template <typename Visit>
void forEachNode(const nlohmann::json& graph, Visit visit) {
  for (const auto& object : graph)
    if (object.value("type", "") == "PipeWire:Interface:Node")
      visit(object["id"].get<int64_t>(), object["info"]["props"]);
}

// An output stream of `appId`.
bool isStreamOf(const nlohmann::json& props, const std::string& appId) {
  return props.value("application.id", "") == appId &&
         props.value("media.class", "") == "Stream/Output/Audio";
}

// The keys of a session's environment file that this process takes over.
bool isSessionVariable(const std::string& key) {
  for (const char* prefix : {"XDG_", "PIPEWIRE_", "DBUS_", "PW_SESSION_"})
    if (key.starts_with(prefix)) return true;
  return false;
}

}  // namespace

CommandResult runCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> buffer;
  size_t count;
  while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    result.output.append(buffer.data(), count);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

PrivateSession::PrivateSession() : script_(MIXELOT_SOURCE_DIR "/scripts/pw-session") {
  // Socket paths are short: keep the folder near the root.
  char pattern[] = "/tmp/mxl-pw-XXXXXX";
  if (!::mkdtemp(pattern)) {
    error_ = "mkdtemp failed";
    return;
  }
  dir_ = pattern;
  std::filesystem::remove(dir_);  // pw-session wants a new or empty folder; it makes it itself
  startWatchdog();
  auto started = runCommand(quote(script_) + " start " + quote(dir_) + " 2>&1");
  if (started.status != 0) {
    error_ = "pw-session start failed: " + started.output;
    return;
  }
  loadEnvironment();
  running_ = true;
}

PrivateSession::~PrivateSession() {
  if (!dir_.empty()) runCommand(quote(script_) + " stop " + quote(dir_) + " >/dev/null 2>&1");
  if (watchdogPipe_ >= 0) ::close(watchdogPipe_);
  if (watchdog_ > 0) ::waitpid(watchdog_, nullptr, 0);
}

void PrivateSession::startWatchdog() {
  // A process of its own that stops the session once the write end of a pipe closes: when this
  // object goes, and also when the test process crashes or is killed.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  const std::string stop = quote(script_) + " stop " + quote(dir_) + " >/dev/null 2>&1";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[1]);
    ::setsid();  // out of the test's process group, so a signal to it does not end us first
    char byte;
    while (::read(fds[0], &byte, 1) > 0) {
    }
    ::execl("/bin/sh", "sh", "-c", stop.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[0]);
  if (pid < 0) {
    ::close(fds[1]);
    return;
  }
  watchdog_ = pid;
  watchdogPipe_ = fds[1];
}

void PrivateSession::loadEnvironment() {
  auto env = runCommand("bash -c 'source \"$1\" && env -0' _ " + quote(dir_ + "/env"));
  std::stringstream entries(env.output);
  for (std::string entry; std::getline(entries, entry, '\0');) {
    auto equals = entry.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = entry.substr(0, equals);
    if (isSessionVariable(key)) ::setenv(key.c_str(), entry.substr(equals + 1).c_str(), 1);
  }
  for (const char* key : {"PULSE_SERVER", "PIPEWIRE_PROPS", "PIPEWIRE_CONFIG_DIR", "PIPEWIRE_CORE"})
    ::unsetenv(key);
}

std::optional<std::string> PrivateSession::session(const std::string& command,
                                                   const std::vector<std::string>& arguments) {
  std::string line = quote(script_) + " " + command + " " + quote(dir_);
  for (const auto& argument : arguments) line += " " + quote(argument);
  auto result = runCommand(line + " 2>/dev/null");
  if (result.status != 0) return std::nullopt;
  return result.output;
}

std::optional<pid_t> PrivateSession::tone(const std::string& appId, int frequency,
                                          const ToneOptions& options) {
  std::vector<std::string> arguments = {appId, std::to_string(frequency), "--amplitude",
                                        std::to_string(options.amplitude)};
  if (options.child) arguments.push_back("--child");
  if (options.pulse) arguments.push_back("--pulse");
  if (options.sandbox) arguments.push_back("--sandbox");
  if (options.noEntry) arguments.push_back("--no-entry");
  if (!options.name.empty()) arguments.insert(arguments.end(), {"--name", options.name});
  if (!options.target.empty()) arguments.insert(arguments.end(), {"--target", options.target});
  auto output = session("tone", arguments);
  if (!output) return std::nullopt;
  return static_cast<pid_t>(std::stol(*output));
}

std::optional<pid_t> PrivateSession::pings(const std::string& appId, int frequency,
                                           const PingOptions& options) {
  std::vector<std::string> arguments = {appId,         std::to_string(frequency),
                                        "--amplitude", std::to_string(options.amplitude),
                                        "--interval",  std::to_string(options.interval)};
  if (options.child) arguments.push_back("--child");
  auto output = session("pings", arguments);
  if (!output) return std::nullopt;
  return static_cast<pid_t>(std::stol(*output));
}

int PrivateSession::finishedPings(const std::string& appId) {
  std::ifstream in(dir_ + "/log/pings-" + appId + ".log");
  int count = 0;
  for (std::string line; std::getline(in, line);) count += line.starts_with("ping ");
  return count;
}

void PrivateSession::stopTone(pid_t pid) {
  // pw-session starts every tone as the leader of a process group of its own. Wait until the
  // whole group is gone, so its streams are too.
  if (pid <= 0 || ::kill(-pid, SIGTERM) != 0) return;
  for (int i = 0; i < 100 && ::kill(-pid, 0) == 0; ++i) ::usleep(20000);
  ::kill(-pid, SIGKILL);
}

std::optional<double> PrivateSession::level(const std::string& device, double seconds) {
  auto output = session("level", {device, std::to_string(seconds)});
  if (!output) return std::nullopt;
  try {
    return std::stod(*output);  // "-inf" for silence too
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::vector<float>> PrivateSession::record(const std::string& device,
                                                         double seconds) {
  const std::string file = dir_ + "/cache/record-" + std::to_string(::getpid()) + ".wav";
  if (!session("record", {device, std::to_string(seconds), file})) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(file);
  // RIFF header, then chunks; the samples are in "data".
  size_t offset = 12;
  while (offset + 8 <= bytes.size()) {
    uint32_t size;
    std::memcpy(&size, bytes.data() + offset + 4, 4);
    if (std::string(bytes.data() + offset, 4) == "data") {
      // pw-record leaves the size open while recording; take what is there.
      const size_t available = bytes.size() - offset - 8;
      const size_t length = (size == 0 || size > available) ? available : size;
      std::vector<float> samples(length / sizeof(float));
      std::memcpy(samples.data(), bytes.data() + offset + 8, samples.size() * sizeof(float));
      return samples;
    }
    offset += 8 + size + (size & 1);
  }
  return std::nullopt;
}

bool PrivateSession::setDefault(const std::string& device) {
  return session("default", {device}).has_value();
}

bool PrivateSession::pinApp(const std::string& appId, const std::string& device) {
  std::optional<int64_t> serial;
  std::vector<int64_t> streams;
  forEachNode(dump(), [&](int64_t id, const nlohmann::json& props) {
    if (props.value("node.name", "") == device && props.contains("object.serial"))
      serial = props["object.serial"].get<int64_t>();
    if (isStreamOf(props, appId)) streams.push_back(id);
  });
  if (!serial || streams.empty()) return false;
  for (int64_t stream : streams) {
    auto result =
        runCommand("pw-metadata -n default " + std::to_string(stream) + " target.object " +
                   std::to_string(*serial) + " Spa:Id >/dev/null 2>&1");
    if (result.status != 0) return false;
  }
  return true;
}

bool PrivateSession::unplug(const std::string& device) {
  return session("unplug", {device}).has_value();
}

bool PrivateSession::plug(const std::string& device, const std::string& description) {
  return session("plug", {device, description}).has_value();
}

bool PrivateSession::restart(const std::string& daemon) {
  if (!session("restart", {daemon})) return false;
  loadEnvironment();
  return true;
}

nlohmann::json PrivateSession::dump() {
  auto result = runCommand("pw-dump 2>/dev/null");
  auto json = nlohmann::json::parse(result.output, nullptr, false);
  return json.is_discarded() ? nlohmann::json::array() : json;
}

std::vector<std::string> PrivateSession::linkedTargets(const std::string& appId) {
  const auto graph = dump();
  std::map<int64_t, std::string> names;
  std::set<int64_t> streams;
  forEachNode(graph, [&](int64_t id, const nlohmann::json& props) {
    names[id] = props.value("node.name", "");
    if (isStreamOf(props, appId)) streams.insert(id);
  });
  std::set<std::string> targets;
  for (const auto& object : graph) {
    if (object.value("type", "") != "PipeWire:Interface:Link") continue;
    const auto& info = object["info"];
    if (streams.count(info.value("output-node-id", int64_t{-1})))
      targets.insert(names[info.value("input-node-id", int64_t{-1})]);
  }
  return {targets.begin(), targets.end()};
}

std::vector<std::string> PrivateSession::nodesNamed(const std::string& prefix) {
  std::vector<std::string> found;
  forEachNode(dump(), [&](int64_t, const nlohmann::json& props) {
    const std::string name = props.value("node.name", "");
    if (name.starts_with(prefix)) found.push_back(name);
  });
  return found;
}

std::string PrivateSession::savedStreamState() {
  std::ifstream in(dir_ + "/state/wireplumber/restore-stream");
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace mixelot::testsupport
