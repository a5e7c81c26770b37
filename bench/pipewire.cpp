// What our per-app chains cost on a real PipeWire daemon, against the cheapest ready-made chain:
// PipeWire's own loopback module, one instance per app from a null sink's monitor to the device,
// all of them loaded into one client process.
//
// In one private session (scripts/pw-session), for K = 1, 4 and 16 tone apps:
//   - direct:   the apps play straight to the device (no routing; the floor, for reference);
//   - ours:     this process builds one chain per app with the PlaythroughEngine on the PipeWire
//               backend, on the default device;
//   - loopback: a helper process (this binary, `loopback-host`) creates one null sink per app and
//               loads one libpipewire-module-loopback from its monitor to the device; the apps'
//               streams are moved onto the sinks the way the backend moves them (the "default"
//               metadata's target.object, by node name).
// CPU time is the daemon's plus the routing process's (ours: this process; loopback: the
// helper), summed over all their threads from /proc/PID/task/TID/schedstat (nanoseconds; the
// utime+stime of /proc/PID/stat counts 10 ms ticks, too coarse for one chain, and is printed
// alongside). A sampler thread reads it every 0.25 s over a window after a settle period, and
// leaves its own run time out. Ours and the loopback take turns, a window each (ours, loopback,
// loopback, ours, ...; four turns at K = 1, two otherwise), so a load on the machine that drifts
// weighs on both alike. The ratio is that of the median slices' CPU rates, which other work
// sharing the machine in bursts sways least; the ratio over whole windows is printed alongside.
// Before each window the graph is checked (every app linked through its chain), after the first
// of each the level at the device (every tone arrives).
//
// Untouched apps: the program's audio stack as it runs (app model, engine, backend; this process)
// over K apps nobody has touched, which play straight to the device without a chain, against the
// floor (the apps alone), the two taking turns the same way. The move: a tone app turned down
// (its streams move from the device into a new chain) and back up, recorded at the device; the
// longest stretch of silence or discontinuity in the tone is the move's gap, the worse of a
// native client's and a PulseAudio client's. For reference, the
// same app's chain then released while it plays (the model waits for the app's silence instead).
//
// Added delay of one chain: a square wave app, routed directly, through our chain, and through a
// loopback; a probe node of ours records the device's monitor and the app's own output port in
// the same cycles, and the offset between matching edges, less the offset with the app played
// directly, is what the chain adds. (The device drives the graph and its monitor shows a cycle
// late, so the direct offset is one quantum.)
//
// The quantum is forced to the session's configured clock.quantum for the run, so every
// configuration runs the same cycle length (the apps would otherwise ask for 2048).
//
// `--hold ours|loopback|direct|untouched K SECONDS` builds one configuration and keeps it, to
// profile it (perf, strace) from another shell; `--delay-only` skips the CPU part.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pipewire/filter.h>
#include <pipewire/impl-module.h>
#include <pipewire/pipewire.h>
#include <spa/node/io.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/PlaythroughEngine.h"
#include "engine/hal/PropertyReads.h"
#include "engine/hal/pipewire/PipeWireAudioHardware.h"
#include "engine/hal/pipewire/PwCalls.h"
#include "platform/PollMainQueue.h"
#include "support/ModelRig.h"
#include "support/PrivateSession.h"
#include "support/ToneGap.h"

namespace {

using mixelot::PlaythroughEngine;
using mixelot::PollMainQueue;
using mixelot::Seconds;
using mixelot::hal::pipewire::PipeWireAudioHardware;
using mixelot::testsupport::ModelRig;
using mixelot::testsupport::PrivateSession;
using mixelot::testsupport::runCommand;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

constexpr int kRate = 48000;
constexpr int kCounts[] = {1, 4, 16};
constexpr int kMaxApps = 16;
constexpr double kSettleSeconds = 1.0;
// The sampler reads the run times this often; the windows are made of such slices.
constexpr double kSlice = 0.25;
constexpr double kWindowSeconds = 2.5;
constexpr double kWaitSeconds = 10.0;
constexpr const char* kDevice = "speakers";
constexpr const char* kLoopbackPrefix = "bench.loopback";
constexpr const char* kProbeName = "bench.probe";
constexpr const char* kOurSinkPrefix = "mixelot.tap.";
constexpr const char* kOurFilterPrefix = "mixelot.forward.";
constexpr const char* kHostCommand = "loopback-host";

// Tones: amplitude 0.2 each, frequencies 60 Hz apart, so K of them sum to an RMS level of
// 20 log10(0.2 / sqrt 2) + 10 log10 K over a few hundred milliseconds.
constexpr double kToneAmplitude = 0.2;
constexpr double kLevelTolerance = 1.5;
// The click app: a square wave of amplitude 0.5 at 2 Hz, one edge every 12000 frames; an edge
// at the device is matched to the first one of the same sign at most kMaxDelay frames later.
constexpr const char* kClickApp = "org.example.BenchClick";
constexpr int kClickFrequency = 2;
constexpr float kEdgeThreshold = 0.5f;
constexpr int kMaxDelay = 10000;

std::string appId(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "org.example.Bench%02d", index + 1);
  return name;
}

double toneLevel(int count) {
  return 20 * std::log10(kToneAmplitude / std::sqrt(2.0)) + 10 * std::log10(count);
}

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

[[noreturn]] void fail(const std::string& message) {
  throw std::runtime_error(message);
}

// ---- CPU time --------------------------------------------------------------------------------

struct CpuTime {
  double seconds = 0;     // run time of every thread, from schedstat
  double mainThread = 0;  // ... of which the main thread's
  long ticks = 0;         // utime + stime from stat
};

// Run time of a process's threads, leaving out the thread `skip` (the sampler's own).
CpuTime cpuTime(pid_t pid, pid_t skip) {
  CpuTime total;
  const std::string base = "/proc/" + std::to_string(pid);
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(base + "/task", error)) {
    const std::string tid = task.path().filename().string();
    if (tid == std::to_string(skip)) continue;
    unsigned long long runNs = 0;
    if (!(std::ifstream(task.path() / "schedstat") >> runNs)) continue;
    const double seconds = static_cast<double>(runNs) * 1e-9;
    total.seconds += seconds;
    if (tid == std::to_string(pid)) total.mainThread = seconds;
  }
  std::ifstream stat(base + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command (which may hold spaces) start at the state, field 3. The ticks
  // include the sampler's thread when the process is this one; they are shown, not used.
  const auto close = text.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    for (int number = 3; number <= 15 && fields >> field; ++number)
      if (number == 14 || number == 15) total.ticks += std::stol(field);
  }
  return total;
}

// ---- the graph, from pw-dump -----------------------------------------------------------------

struct Graph {
  Json dump;
  std::map<int64_t, std::string> names;  // node id -> node.name

  explicit Graph(Json json) : dump(std::move(json)) {
    for (const auto& object : dump)
      if (object.value("type", "") == "PipeWire:Interface:Node")
        names[object["id"].get<int64_t>()] = object["info"]["props"].value("node.name", "");
  }

  std::optional<int64_t> node(const std::string& name) const {
    for (const auto& [id, nodeName] : names)
      if (nodeName == name) return id;
    return std::nullopt;
  }
  std::vector<int64_t> streamsOf(const std::string& app) const {
    std::vector<int64_t> found;
    for (const auto& object : dump) {
      if (object.value("type", "") != "PipeWire:Interface:Node") continue;
      const auto& props = object["info"]["props"];
      if (props.value("application.id", "") == app &&
          props.value("media.class", "") == "Stream/Output/Audio")
        found.push_back(object["id"].get<int64_t>());
    }
    return found;
  }
  // Names of the nodes the given node's output ports are linked to.
  std::set<std::string> linkedFrom(int64_t node) const {
    std::set<std::string> targets;
    for (const auto& object : dump) {
      if (object.value("type", "") != "PipeWire:Interface:Link") continue;
      const auto& info = object["info"];
      if (info.value("output-node-id", int64_t{-1}) == node) {
        auto it = names.find(info.value("input-node-id", int64_t{-1}));
        if (it != names.end()) targets.insert(it->second);
      }
    }
    return targets;
  }
  // How many links run from nodes whose name starts with `prefix` into `target`.
  int linksInto(const std::string& prefix, const std::string& target) const {
    int count = 0;
    for (const auto& object : dump) {
      if (object.value("type", "") != "PipeWire:Interface:Link") continue;
      const auto& info = object["info"];
      auto from = names.find(info.value("output-node-id", int64_t{-1}));
      auto to = names.find(info.value("input-node-id", int64_t{-1}));
      if (from != names.end() && to != names.end() && from->second.starts_with(prefix) &&
          to->second == target)
        ++count;
    }
    return count;
  }
  std::optional<int64_t> port(int64_t node, const std::string& name) const {
    for (const auto& object : dump) {
      if (object.value("type", "") != "PipeWire:Interface:Port") continue;
      const auto& props = object["info"]["props"];
      const auto& owner = props["node.id"];
      const int64_t ownerId = owner.is_string()   ? std::stoll(owner.get<std::string>())
                              : owner.is_number() ? owner.get<int64_t>()
                                                  : -1;
      if (props.value("port.name", "") == name && ownerId == node)
        return object["id"].get<int64_t>();
    }
    return std::nullopt;
  }
};

Graph graph(PrivateSession& session) {
  return Graph(session.dump());
}

// Runs `done` on fresh dumps until it holds, keeping the main queue (when there is one) running.
bool waitForGraph(PrivateSession& session, PollMainQueue* queue,
                  const std::function<bool(const Graph&)>& done, double timeout = kWaitSeconds) {
  const auto end = Clock::now() + std::chrono::duration<double>(timeout);
  while (Clock::now() < end) {
    if (done(graph(session))) return true;
    if (queue)
      queue->runFor(Seconds(0.1));
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

bool allStreamsOn(const Graph& g, const std::vector<std::string>& apps,
                  const std::function<bool(size_t, const std::string&)>& isTarget) {
  for (size_t i = 0; i < apps.size(); ++i) {
    const auto streams = g.streamsOf(apps[i]);
    if (streams.empty()) return false;
    for (int64_t stream : streams) {
      const auto targets = g.linkedFrom(stream);
      if (targets.size() != 1 || !isTarget(i, *targets.begin())) return false;
    }
  }
  return true;
}

void linkPorts(PrivateSession& session, const std::string& fromNode, const std::string& fromPort,
               const std::string& toNode, const std::string& toPort) {
  const auto end = Clock::now() + std::chrono::duration<double>(kWaitSeconds);
  while (Clock::now() < end) {
    const Graph g = graph(session);
    const auto from = g.node(fromNode), to = g.node(toNode);
    const auto out = from ? g.port(*from, fromPort) : std::nullopt;
    const auto in = to ? g.port(*to, toPort) : std::nullopt;
    if (out && in) {
      if (runCommand("pw-link " + std::to_string(*out) + " " + std::to_string(*in) +
                     " >/dev/null 2>&1")
              .status == 0)
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fail("could not link " + fromNode + ":" + fromPort + " to " + toNode + ":" + toPort);
}

// ---- a recording probe -----------------------------------------------------------------------

// A node of our own with two mono inputs, recording both in the same cycles: one connection of
// its own on a thread loop of its own, so it never touches the backend's connection. Made only
// for a check and gone before any CPU window.
class Probe {
 public:
  explicit Probe(size_t frames) : a_(frames), b_(frames) {
    loop_ = pw_thread_loop_new("bench-probe", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    pw_thread_loop_start(loop_);
    pw_thread_loop_lock(loop_);
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_) {
      filter_ =
          pw_filter_new(core_, kProbeName,
                        pw_properties_new(PW_KEY_NODE_NAME, kProbeName, PW_KEY_MEDIA_TYPE, "Audio",
                                          PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
                                          "DSP", PW_KEY_NODE_AUTOCONNECT, "false", nullptr));
      pw_filter_add_listener(filter_, &hook_, &kEvents, this);
      for (auto [port, name] : {std::pair{&inA_, "in_a"}, std::pair{&inB_, "in_b"}})
        *port = pw_filter_add_port(filter_, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS,
                                   sizeof(void*),
                                   pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                     PW_KEY_PORT_NAME, name, nullptr),
                                   nullptr, 0);
      pw_filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
    }
    pw_thread_loop_unlock(loop_);
    if (!core_) fail("the probe could not connect");
  }
  ~Probe() {
    pw_thread_loop_lock(loop_);
    if (filter_) {
      spa_hook_remove(&hook_);
      pw_filter_destroy(filter_);
    }
    if (core_) pw_core_disconnect(core_);
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  // Records from now until both buffers are full; false when that takes longer than `timeout`.
  bool record(double timeout) {
    filled_.store(0);
    recording_.store(true);
    const auto end = Clock::now() + std::chrono::duration<double>(timeout);
    while (filled_.load() < a_.size() && Clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    recording_.store(false);
    return filled_.load() >= a_.size();
  }
  const std::vector<float>& a() const { return a_; }
  const std::vector<float>& b() const { return b_; }
  uint32_t quantum() const { return quantum_.load(); }

 private:
  static void onProcess(void* data, spa_io_position* position) {
    auto* self = static_cast<Probe*>(data);
    const uint32_t frames = position ? static_cast<uint32_t>(position->clock.duration) : 0;
    self->quantum_.store(frames);
    auto* a = static_cast<const float*>(pw_filter_get_dsp_buffer(self->inA_, frames));
    auto* b = static_cast<const float*>(pw_filter_get_dsp_buffer(self->inB_, frames));
    if (!self->recording_.load()) return;
    const size_t at = self->filled_.load();
    const size_t n = std::min<size_t>(frames, self->a_.size() - at);
    for (size_t i = 0; i < n; ++i) {
      self->a_[at + i] = a ? a[i] : 0.0f;
      self->b_[at + i] = b ? b[i] : 0.0f;
    }
    self->filled_.store(at + n);
  }
  static constexpr pw_filter_events kEvents = {
      .version = PW_VERSION_FILTER_EVENTS,
      .process = &Probe::onProcess,
  };

  std::vector<float> a_, b_;
  std::atomic<size_t> filled_{0};
  std::atomic<bool> recording_{false};
  std::atomic<uint32_t> quantum_{0};
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_filter* filter_ = nullptr;
  void* inA_ = nullptr;
  void* inB_ = nullptr;
  spa_hook hook_{};
};

double rmsDb(const std::vector<float>& samples, size_t from) {
  double sum = 0;
  for (size_t i = from; i < samples.size(); ++i) sum += double(samples[i]) * samples[i];
  const double count = static_cast<double>(samples.size() - from);
  return 20 * std::log10(std::sqrt(sum / count) + 1e-12);
}

// Level of what the device plays, left and right.
std::pair<double, double> deviceLevel(PrivateSession& session, PollMainQueue* queue) {
  constexpr size_t kFrames = kRate * 4 / 10, kSkip = kRate / 10;
  Probe probe(kFrames);
  linkPorts(session, kDevice, "monitor_FL", kProbeName, "in_a");
  linkPorts(session, kDevice, "monitor_FR", kProbeName, "in_b");
  bool recorded = false;
  if (queue) {
    // Our chains live on this thread's loop: keep it going while the probe records.
    auto done = std::async(std::launch::async, [&] { return probe.record(kWaitSeconds); });
    queue->runUntil(
        [&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        Seconds(kWaitSeconds + 1));
    recorded = done.get();
  } else {
    recorded = probe.record(kWaitSeconds);
  }
  if (!recorded) fail("the probe recorded nothing at " + std::string(kDevice));
  return {rmsDb(probe.a(), kSkip), rmsDb(probe.b(), kSkip)};
}

void checkLevel(PrivateSession& session, PollMainQueue* queue, int count, const char* what,
                double gain = 1.0) {
  const auto [left, right] = deviceLevel(session, queue);
  const double expected = toneLevel(count) + 20 * std::log10(gain);
  std::printf("    level at %s: %.2f / %.2f dB (expected %.2f)\n", kDevice, left, right, expected);
  if (std::abs(left - expected) > kLevelTolerance || std::abs(right - expected) > kLevelTolerance)
    fail(std::string(what) + ": the apps do not all reach the device");
}

// Median offset (frames) of each edge of `reference` to the matching edge of `delayed`.
std::optional<int> edgeDelay(const std::vector<float>& delayed, const std::vector<float>& reference,
                             int& matched) {
  auto edges = [](const std::vector<float>& x) {
    std::vector<std::pair<size_t, int>> found;
    for (size_t i = 1; i < x.size(); ++i) {
      const float step = x[i] - x[i - 1];
      if (std::abs(step) > kEdgeThreshold) found.emplace_back(i, step > 0 ? 1 : -1);
    }
    return found;
  };
  const auto late = edges(delayed), early = edges(reference);
  std::vector<int> offsets;
  for (const auto& [at, sign] : early) {
    for (const auto& [lateAt, lateSign] : late) {
      const long offset = static_cast<long>(lateAt) - static_cast<long>(at);
      if (lateSign == sign && offset >= 0 && offset <= kMaxDelay) {
        offsets.push_back(static_cast<int>(offset));
        break;
      }
    }
  }
  matched = static_cast<int>(offsets.size());
  if (offsets.empty()) return std::nullopt;
  std::sort(offsets.begin(), offsets.end());
  return offsets[offsets.size() / 2];
}

// ---- processes we start ----------------------------------------------------------------------

// The loopback helper: this binary in `loopback-host` mode. It ends when its stdin closes (so it
// goes with us however we end) or on SIGTERM.
class LoopbackHost {
 public:
  LoopbackHost(const std::string& prefix, int count) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) fail("pipe failed");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      const std::string countText = std::to_string(count);
      ::execl("/proc/self/exe", "bench-pipewire", kHostCommand, prefix.c_str(), countText.c_str(),
              kDevice, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    toHost_ = in[1];
    fromHost_ = out[0];
    if (pid_ < 0) fail("fork failed");
    // It says "ready" once its sinks and modules are made.
    std::string line;
    const auto end = Clock::now() + std::chrono::duration<double>(kWaitSeconds);
    while (line.find('\n') == std::string::npos && Clock::now() < end) {
      pollfd fd{fromHost_, POLLIN, 0};
      if (::poll(&fd, 1, 100) > 0) {
        char buffer[256];
        const ssize_t n = ::read(fromHost_, buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<size_t>(n));
      }
    }
    if (!line.starts_with("ready")) fail("the loopback helper did not start: " + line);
  }
  ~LoopbackHost() {
    if (toHost_ >= 0) ::close(toHost_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fromHost_ >= 0) ::close(fromHost_);
  }
  LoopbackHost(const LoopbackHost&) = delete;
  LoopbackHost& operator=(const LoopbackHost&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int toHost_ = -1;
  int fromHost_ = -1;
};

// The click app: pw-cat playing a square wave, started like pw-session's tones (a process group
// of its own, recorded in the session's pid list so stopping the session ends it too).
pid_t startClickApp(PrivateSession& session) {
  const std::string props =
      "{ application.id=\"" + std::string(kClickApp) + "\" application.name=\"Bench Click\" }";
  const std::string command = "exec pw-cat --playback --properties " + quote(props) +
                              " - < <(sox -D -n -t wav -b 16 -r " + std::to_string(kRate) +
                              " -c 2 - synth 86400 square " + std::to_string(kClickFrequency) +
                              " vol 0.5 2>/dev/null)";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execl("/bin/bash", "bash", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid < 0) fail("fork failed");
  std::ofstream(session.dir() + "/pids", std::ios::app) << "tone " << pid << "\n";
  return pid;
}

// ---- the configurations ----------------------------------------------------------------------

// CPU seconds of the daemon and the routing process over one slice of wall time.
struct Slice {
  double wall = 0;
  double daemon = 0;
  double routing = 0;
  double routingMain = 0;  // the routing process's main thread
  long ticks = 0;
  double rate() const { return (daemon + routing) / wall; }
};

// The slices of one configuration, from all its windows.
struct Usage {
  std::vector<Slice> slices;

  Slice sum() const {
    Slice total;
    for (const Slice& slice : slices) {
      total.wall += slice.wall;
      total.daemon += slice.daemon;
      total.routing += slice.routing;
      total.routingMain += slice.routingMain;
      total.ticks += slice.ticks;
    }
    return total;
  }
  // CPU seconds per second over all windows.
  double rate() const { return sum().rate(); }
  // The median slice's: spells in which other work on the machine slows every process down
  // weigh less.
  double medianRate() const {
    std::vector<double> rates;
    for (const Slice& slice : slices) rates.push_back(slice.rate());
    if (rates.empty()) return 0;
    std::sort(rates.begin(), rates.end());
    const size_t middle = rates.size() / 2;
    return rates.size() % 2 ? rates[middle] : (rates[middle - 1] + rates[middle]) / 2;
  }
  Usage& operator+=(const Usage& other) {
    slices.insert(slices.end(), other.slices.begin(), other.slices.end());
    return *this;
  }
};

// CPU over a window of `seconds` after the settle period, while `run` keeps whatever must run
// going. A thread of its own takes the samples, and its own run time is left out: the routing
// process may be this one.
Usage measure(pid_t daemon, std::optional<pid_t> routing, double seconds,
              const std::function<void(double)>& run) {
  run(kSettleSeconds);
  Usage usage;
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    const pid_t self = static_cast<pid_t>(::gettid());
    auto read = [&] {
      return std::pair{cpuTime(daemon, self), routing ? cpuTime(*routing, self) : CpuTime{}};
    };
    auto last = read();
    auto lastTime = Clock::now();
    auto next = lastTime;
    while (!done.load()) {
      next += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kSlice));
      std::this_thread::sleep_until(next);
      const auto now = read();
      const auto time = Clock::now();
      Slice slice;
      slice.wall = std::chrono::duration<double>(time - lastTime).count();
      slice.daemon = now.first.seconds - last.first.seconds;
      slice.routing = now.second.seconds - last.second.seconds;
      slice.routingMain = now.second.mainThread - last.second.mainThread;
      slice.ticks = (now.first.ticks - last.first.ticks) + (now.second.ticks - last.second.ticks);
      usage.slices.push_back(slice);
      last = now;
      lastTime = time;
    }
  });
  run(seconds);
  done.store(true);
  sampler.join();
  return usage;
}

void printUsage(const char* what, const Usage& usage) {
  const Slice total = usage.sum();
  const double ms = 1e3 / total.wall;
  std::printf(
      "    %-9s %6.2f ms/s (median slice %6.2f) = daemon %6.2f + routing %6.2f (main thread "
      "%.2f) over %.1f s, %ld ticks\n",
      what, total.rate() * 1e3, usage.medianRate() * 1e3, total.daemon * ms, total.routing * ms,
      total.routingMain * ms, total.wall, total.ticks);
}

void sleepFor(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::vector<mixelot::hal::ObjectID> processesOf(PipeWireAudioHardware& hardware,
                                                const std::string& app) {
  namespace selector = mixelot::hal::selector;
  std::vector<mixelot::hal::ObjectID> found;
  auto processes = mixelot::hal::readObjectList(hardware, mixelot::hal::kSystemObject,
                                                {selector::kProcessObjects});
  for (auto process : processes.value_or(std::vector<mixelot::hal::ObjectID>{}))
    if (mixelot::hal::readString(hardware, process, {selector::kProcessBundleID}) == app)
      found.push_back(process);
  return found;
}

// Our chains: the engine on the PipeWire backend, in this process.
struct OurChains {
  PollMainQueue queue;
  std::unique_ptr<PipeWireAudioHardware> hardware;
  std::unique_ptr<PlaythroughEngine> engine;

  void build(PrivateSession& session, const std::vector<std::string>& apps) {
    hardware = std::make_unique<PipeWireAudioHardware>(queue);
    if (!hardware->isConnected()) fail("the backend did not connect");
    engine = std::make_unique<PlaythroughEngine>(*hardware, queue);
    engine->setPermissionGranted(true);
    for (const auto& app : apps) {
      if (!queue.runUntil([&] { return !processesOf(*hardware, app).empty(); },
                          Seconds(kWaitSeconds)))
        fail("the backend never listed " + app);
      engine->createTap(app, processesOf(*hardware, app));
    }
    const int links = static_cast<int>(apps.size()) * 2;
    if (!waitForGraph(session, &queue, [&](const Graph& g) {
          return allStreamsOn(
                     g, apps,
                     [](size_t, const std::string& t) { return t.starts_with(kOurSinkPrefix); }) &&
                 g.linksInto(kOurFilterPrefix, kDevice) == links;
        }))
      fail("our chains never carried every app");
  }
  void tearDown() {
    if (engine) engine->stopAll();
    engine.reset();
    hardware.reset();
  }
};

bool allOnDevice(const Graph& g, const std::vector<std::string>& apps) {
  return allStreamsOn(g, apps, [](size_t, const std::string& t) { return t == kDevice; });
}

// Two configurations take turns (first, second, second, first, ...), a window each, so that a
// load on the machine that drifts over the run weighs on both alike; more turns where a chain
// costs least and the noise weighs most. Each is told whether this is its first window, the one
// that checks what the device plays.
template <typename First, typename Second>
void takeTurns(size_t count, First first, Second second) {
  const int turns = count == 1 ? 4 : 2;
  for (int turn = 0; turn < turns; ++turn) {
    if (turn % 2 == 0) {
      first(turn == 0);
      second(turn == 0);
    } else {
      second(false);
      first(false);
    }
  }
}

// One window of our chains over the apps, every app at `volume`; when `check` names the window,
// the level at the device is checked first. The apps are back on the device afterwards.
Usage measureOurs(PrivateSession& session, pid_t daemon, pid_t self,
                  const std::vector<std::string>& apps, int count, float volume,
                  const char* check) {
  OurChains ours;
  ours.build(session, apps);
  if (volume != 1.0f)
    for (const auto& app : apps) ours.engine->setAppVolume(app, volume);
  Usage usage = measure(daemon, self, kWindowSeconds,
                        [&](double seconds) { ours.queue.runFor(Seconds(seconds)); });
  if (check) checkLevel(session, &ours.queue, count, check, volume);
  ours.tearDown();
  if (!waitForGraph(session, nullptr, [&](const Graph& g) { return allOnDevice(g, apps); }))
    fail("the apps did not return to " + std::string(kDevice) + " after our chains");
  return usage;
}

// Ours with every app turned down (a chain per app, its gain at work) against the apps played
// straight to the device, taking turns (direct, ours, ours, direct, ...; four turns at K = 1, two
// otherwise) as ours and the loopback do: what our chains cost over the floor of the same run.
double cpuVsDirect(PrivateSession& session, pid_t daemon, pid_t self,
                   const std::vector<std::string>& apps, int count) {
  constexpr float kTurnedDown = 0.5f;
  Usage direct, chains;
  takeTurns(
      apps.size(), [&](bool) { direct += measure(daemon, std::nullopt, kWindowSeconds, sleepFor); },
      [&](bool check) {
        chains += measureOurs(session, daemon, self, apps, count, kTurnedDown,
                              check ? "ours at 0.5" : nullptr);
      });
  printUsage("direct", direct);
  printUsage("ours 0.5", chains);
  const double ratio = chains.medianRate() / direct.medianRate();
  std::printf(
      "    ours at 0.5/direct: %.3f (median slices), %.3f (whole windows); floor %.2f ms/s, added "
      "%.2f ms/s\n",
      ratio, chains.rate() / direct.rate(), direct.medianRate() * 1e3,
      (chains.medianRate() - direct.medianRate()) * 1e3);
  return ratio;
}

void moveStreams(PrivateSession& session, const std::vector<std::string>& apps,
                 const std::string& sinkPrefix) {
  const Graph g = graph(session);
  for (size_t i = 0; i < apps.size(); ++i)
    for (int64_t stream : g.streamsOf(apps[i]))
      runCommand("pw-metadata -n default " + std::to_string(stream) + " target.object " +
                 quote(sinkPrefix + ".sink." + std::to_string(i)) + " Spa:Id >/dev/null 2>&1");
}

void clearTargets(PrivateSession& session, const std::vector<std::string>& apps) {
  const Graph g = graph(session);
  for (const auto& app : apps)
    for (int64_t stream : g.streamsOf(app))
      runCommand("pw-metadata -n default -d " + std::to_string(stream) +
                 " target.object >/dev/null 2>&1");
}

// Loopback modules for the apps, in one helper process; the apps moved onto their sinks.
std::unique_ptr<LoopbackHost> buildLoopbacks(PrivateSession& session,
                                             const std::vector<std::string>& apps,
                                             const std::string& prefix) {
  auto host = std::make_unique<LoopbackHost>(prefix, static_cast<int>(apps.size()));
  const std::string sinks = prefix + ".sink.";
  const std::string players = prefix + ".playback.";
  const int links = static_cast<int>(apps.size()) * 2;
  if (!waitForGraph(session, nullptr,
                    [&](const Graph& g) { return g.linksInto(players, kDevice) == links; }))
    fail("the loopbacks never reached " + std::string(kDevice));
  moveStreams(session, apps, prefix);
  if (!waitForGraph(session, nullptr, [&](const Graph& g) {
        return allStreamsOn(g, apps, [&](size_t i, const std::string& t) {
          return t == sinks + std::to_string(i);
        });
      }))
    fail("the apps never reached the loopback sinks");
  return host;
}

void releaseLoopbacks(PrivateSession& session, std::unique_ptr<LoopbackHost> host,
                      const std::vector<std::string>& apps) {
  clearTargets(session, apps);
  host.reset();
  if (!waitForGraph(session, nullptr, [&](const Graph& g) { return allOnDevice(g, apps); }))
    fail("the apps did not return to " + std::string(kDevice) + " after the loopbacks");
}

std::string metadataValue(const std::string& dump, const std::string& key) {
  const std::string marker = "key:'" + key + "' value:'";
  const auto at = dump.find(marker);
  if (at == std::string::npos) return "";
  const auto start = at + marker.size();
  return dump.substr(start, dump.find('\'', start) - start);
}

// Offset (frames) from the click app's own output to what the device plays, with the app routed
// as it is now: the probe records the device's monitor and, as the reference, the app's left
// output port itself, in the same cycles. `queue`, when given, is kept running meanwhile (our
// chains live on it).
std::optional<int> deviceDelay(PrivateSession& session, PollMainQueue* queue, uint32_t& quantum) {
  constexpr size_t kFrames = kRate * 5 / 2;
  Probe probe(kFrames);
  linkPorts(session, kDevice, "monitor_FL", kProbeName, "in_a");
  const Graph g = graph(session);
  const auto streams = g.streamsOf(kClickApp);
  if (streams.size() != 1) fail("the click app has no single stream");
  linkPorts(session, g.names.at(streams.front()), "output_FL", kProbeName, "in_b");
  auto record = [&] {
    sleepFor(0.3);  // until the links are part of the cycle
    return probe.record(kWaitSeconds);
  };
  bool recorded;
  if (queue) {
    auto done = std::async(std::launch::async, record);
    queue->runUntil(
        [&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        Seconds(kWaitSeconds + 2));
    recorded = done.get();
  } else {
    recorded = record();
  }
  if (!recorded) fail("the probe recorded nothing for the delay");
  int matched = 0;
  const auto delay = edgeDelay(probe.a(), probe.b(), matched);
  quantum = probe.quantum();
  if (matched < 3) fail("too few edges for the delay: " + std::to_string(matched));
  return delay;
}

// ---- untouched apps, and the move into a chain -----------------------------------------------

// The program's audio stack as it runs (app model, engine, backend) in this process, over K apps
// the user has not touched: none has a chain, so what is left of ours is the mirror of the graph
// and the discovery passes. Measured against the floor (the apps alone, no program), the two
// taking turns as ours and the loopback do; returns untouched / floor of the median slices.
double untouchedRatio(PrivateSession& session, pid_t daemon, pid_t self,
                      const std::vector<std::string>& apps) {
  Usage floor, untouched;
  auto runFloor = [&](bool) { floor += measure(daemon, std::nullopt, kWindowSeconds, sleepFor); };
  auto runUntouched = [&](bool check) {
    ModelRig rig;
    auto listed = [&] {
      return std::all_of(apps.begin(), apps.end(),
                         [&](const std::string& app) { return rig.app(app) != nullptr; });
    };
    if (!rig.queue.runUntil(listed, Seconds(kWaitSeconds))) fail("the model never listed the apps");
    untouched += measure(daemon, self, kWindowSeconds,
                         [&](double seconds) { rig.queue.runFor(Seconds(seconds)); });
    if (check && (rig.engine.chainCount() != 0 || !allOnDevice(graph(session), apps)))
      fail("an untouched app does not play straight to " + std::string(kDevice));
  };
  takeTurns(apps.size(), runFloor, runUntouched);
  printUsage("floor", floor);
  printUsage("untouched", untouched);
  const double ratio = untouched.medianRate() / floor.medianRate();
  std::printf("    untouched/floor: %.3f (median slices), %.3f (whole windows)\n", ratio,
              untouched.rate() / floor.rate());
  return ratio;
}

struct MoveGaps {
  double intoChain = 0;      // ms: turned down, then back up (it keeps its chain while it plays)
  double outOfChain = 0;     // ms: its chains released while it plays, for reference
  double sliderToLevel = 0;  // ms from the slider's move to the level 5 dB down
};

// A tone app the model lists untouched (straight to the device), turned down to half (its
// streams move into a new chain) and back up to full, while a probe records the device; then,
// for reference, its chain released while it plays (what the model waits for silence to do).
MoveGaps moveGaps(PrivateSession& session, bool pulse) {
  constexpr const char* kApp = "org.example.BenchMove";
  constexpr int kFrequency = 440;
  // Each trial: turned down, back up, then its chain released; the next starts untouched again.
  // The move is a race in the session manager, so it runs a few times and the worst counts.
  constexpr int kTrials = 3;
  constexpr double kDown = 0.5, kUp = 1.2, kRelease = 2.0, kPeriod = 3.0;
  std::printf("  %s client, %d trials\n", pulse ? "a PulseAudio" : "a native", kTrials);
  PrivateSession::ToneOptions tone;
  tone.pulse = pulse;
  const auto pid = session.tone(kApp, kFrequency, tone);
  if (!pid) fail("the move's tone app did not start");
  const std::vector<std::string> apps = {kApp};
  if (!waitForGraph(session, nullptr, [&](const Graph& g) { return allOnDevice(g, apps); }))
    fail("the move's tone app does not play");
  MoveGaps gaps;
  {
    ModelRig rig;
    if (!rig.queue.runUntil([&] { return rig.app(kApp) != nullptr; }, Seconds(kWaitSeconds)))
      fail("the model never listed the move's tone app");
    Probe probe(static_cast<size_t>(kRate * kPeriod * kTrials));
    linkPorts(session, kDevice, "monitor_FL", kProbeName, "in_a");
    linkPorts(session, kDevice, "monitor_FR", kProbeName, "in_b");
    sleepFor(0.3);  // until the links are part of the cycle
    std::vector<mixelot::Timer> steps;
    for (int trial = 0; trial < kTrials; ++trial) {
      const double start = trial * kPeriod;
      steps.push_back(rig.queue.schedule(Seconds(start + kDown), false,
                                         [&] { rig.apps->setVolume(kApp, 0.5f); }));
      steps.push_back(rig.queue.schedule(Seconds(start + kUp), false,
                                         [&] { rig.apps->setVolume(kApp, 1.0f); }));
      steps.push_back(rig.queue.schedule(Seconds(start + kRelease), false,
                                         [&] { rig.engine.removeTaps(kApp); }));
    }
    auto done = std::async(std::launch::async, [&] { return probe.record(kWaitSeconds * 2); });
    rig.queue.runUntil(
        [&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        Seconds(kWaitSeconds * 2 + 1));
    if (!done.get()) fail("the probe recorded nothing for the move");
    auto faultsIn = [&](double from, double to) {
      std::vector<float> interleaved;
      for (size_t i = static_cast<size_t>(from * kRate); i < static_cast<size_t>(to * kRate); ++i) {
        interleaved.push_back(probe.a()[i]);
        interleaved.push_back(probe.b()[i]);
      }
      return mixelot::testsupport::toneFaults(interleaved, kFrequency, 0.5);
    };
    for (int trial = 0; trial < kTrials; ++trial) {
      const double start = trial * kPeriod, middle = start + (kUp + kRelease) / 2;
      const auto into = faultsIn(start, middle);
      const auto out = faultsIn(middle, start + kPeriod);
      gaps.intoChain = std::max(gaps.intoChain, into.gapMs());
      gaps.outOfChain = std::max(gaps.outOfChain, out.gapMs());
      std::printf(
          "    into the chain and back to full: %4zu frames of silence, %zu steps; chain released "
          "while playing: %4zu frames of silence, %zu steps\n",
          into.longestSilence, into.steps, out.longestSilence, out.steps);
    }
    // The slider's move to the level 5 dB down, in 10 ms windows of the left channel.
    const double full =
        rmsDb(std::vector<float>(probe.a().begin(), probe.a().begin() + kRate / 4), 0);
    for (size_t at = static_cast<size_t>(kDown * kRate); at + kRate / 100 < probe.a().size();
         at += kRate / 100) {
      const std::vector<float> window(probe.a().begin() + static_cast<long>(at),
                                      probe.a().begin() + static_cast<long>(at + kRate / 100));
      if (rmsDb(window, 0) < full - 5) {
        gaps.sliderToLevel = (static_cast<double>(at) / kRate - kDown) * 1e3;
        break;
      }
    }
    std::printf("    slider to the level 5 dB down: %.0f ms (10 ms windows)\n", gaps.sliderToLevel);
  }
  session.stopTone(*pid);
  return gaps;
}

struct Options {
  bool delayOnly = false;
  // --hold ours|loopback|direct|untouched K SECONDS: builds one configuration and keeps it, for
  // profiling.
  std::string hold;
  int holdCount = 0;
  double holdSeconds = 0;
};

int runBench(const Options& options) {
  const auto benchStart = Clock::now();
  pw_init(nullptr, nullptr);
  PrivateSession session;
  if (!session.isRunning()) {
    std::fprintf(stderr, "bench-pipewire: %s\n", session.error().c_str());
    return 1;
  }
  const char* pidText = std::getenv("PW_SESSION_PIPEWIRE_PID");
  if (!pidText) fail("the session names no PipeWire pid");
  const pid_t daemon = static_cast<pid_t>(std::atol(pidText));
  const pid_t self = ::getpid();

  // One cycle length for every configuration: the configured default quantum, forced.
  const std::string settings = runCommand("pw-metadata -n settings 2>/dev/null").output;
  const std::string quantum = metadataValue(settings, "clock.quantum");
  if (quantum.empty()) fail("no clock.quantum in the settings metadata");
  runCommand("pw-metadata -n settings 0 clock.force-quantum " + quantum + " >/dev/null 2>&1");
  const std::string forced = metadataValue(runCommand("pw-metadata -n settings 2>/dev/null").output,
                                           "clock.force-quantum");
  std::printf("quantum %s (clock.quantum, forced: clock.force-quantum=%s), rate %d\n",
              quantum.c_str(), forced.c_str(), kRate);

  std::vector<std::string> apps;
  std::vector<pid_t> tones;
  std::map<int, double> ratios;
  std::map<int, double> directRatios;
  std::map<int, double> untouchedRatios;
  auto startApps = [&](int count) {
    while (static_cast<int>(apps.size()) < count) {
      const int index = static_cast<int>(apps.size());
      PrivateSession::ToneOptions tone;
      tone.amplitude = kToneAmplitude;
      const auto pid = session.tone(appId(index), 200 + 60 * index, tone);
      if (!pid) fail("tone app " + appId(index) + " did not start");
      tones.push_back(*pid);
      apps.push_back(appId(index));
    }
    if (!waitForGraph(session, nullptr, [&](const Graph& g) { return allOnDevice(g, apps); }))
      fail("the apps do not all play on " + std::string(kDevice));
  };
  if (!options.hold.empty()) {
    startApps(options.holdCount);
    OurChains ours;
    std::unique_ptr<LoopbackHost> host;
    if (options.hold == "ours") ours.build(session, apps);
    if (options.hold == "loopback") host = buildLoopbacks(session, apps, kLoopbackPrefix);
    // The program's stack as it runs over apps nobody touched: its discovery and mirror only.
    std::optional<ModelRig> untouched;
    if (options.hold == "untouched") untouched.emplace();
    std::printf("holding %s for %.0f s: session %s, daemon %d, routing %d\n", options.hold.c_str(),
                options.holdSeconds, session.dir().c_str(), daemon,
                host                                  ? host->pid()
                : options.hold == "ours" || untouched ? self
                                                      : 0);
    std::fflush(stdout);
    (untouched ? untouched->queue : ours.queue).runFor(Seconds(options.holdSeconds));
    return 0;
  }
  for (int count : kCounts) {
    if (options.delayOnly) break;
    startApps(count);
    std::printf("K=%d (at %.0f s)\n", count,
                std::chrono::duration<double>(Clock::now() - benchStart).count());

    const Usage direct = measure(daemon, std::nullopt, kWindowSeconds, sleepFor);
    printUsage("direct", direct);

    // Ours and the loopback take turns.
    Usage chains, loopback;
    auto runOurs = [&](bool check) {
      chains += measureOurs(session, daemon, self, apps, count, 1.0f, check ? "ours" : nullptr);
    };
    int loopbackRuns = 0;
    auto runLoopback = [&](bool check) {
      auto host = buildLoopbacks(session, apps,
                                 std::string(kLoopbackPrefix) + "." + std::to_string(count) + "." +
                                     std::to_string(++loopbackRuns));
      loopback += measure(daemon, host->pid(), kWindowSeconds, sleepFor);
      if (check) checkLevel(session, nullptr, count, "loopback");
      releaseLoopbacks(session, std::move(host), apps);
    };
    takeTurns(apps.size(), runOurs, runLoopback);
    printUsage("ours", chains);
    printUsage("loopback", loopback);
    directRatios[count] = cpuVsDirect(session, daemon, self, apps, count);

    ratios[count] = chains.medianRate() / loopback.medianRate();
    std::printf("    ours/loopback: %.3f (median slices), %.3f (whole windows)\n", ratios[count],
                chains.rate() / loopback.rate());
    std::printf("    added over direct: ours %.2f ms/s, loopback %.2f ms/s\n",
                (chains.medianRate() - direct.medianRate()) * 1e3,
                (loopback.medianRate() - direct.medianRate()) * 1e3);
    untouchedRatios[count] = untouchedRatio(session, daemon, self, apps);
  }
  // All at once, then one wait for their streams to go (a tone's processes may linger as zombies
  // for a while, so waiting for each process group would add up).
  for (pid_t tone : tones) ::kill(-tone, SIGTERM);
  if (!waitForGraph(session, nullptr, [&](const Graph& g) {
        return std::all_of(apps.begin(), apps.end(),
                           [&](const std::string& app) { return g.streamsOf(app).empty(); });
      }))
    fail("the tone apps did not stop");

  std::printf("move between the device and a chain (tone at %s)\n", kDevice);
  // The worse of the two kinds of client.
  const MoveGaps native = moveGaps(session, false), pulse = moveGaps(session, true);
  const double moveGap = std::max(native.intoChain, pulse.intoChain);

  // Added delay of one chain, ours and the loopback's: how much later the device plays the app
  // through it than when the app plays to the device directly.
  std::printf("delay (click app's output to what %s plays)\n", kDevice);
  const pid_t click = startClickApp(session);
  const std::vector<std::string> clickApps = {kClickApp};
  if (!waitForGraph(session, nullptr, [&](const Graph& g) { return allOnDevice(g, clickApps); }))
    fail("the click app does not play");
  uint32_t quantumSeen[3] = {};
  const std::optional<int> direct = deviceDelay(session, nullptr, quantumSeen[0]);
  std::optional<int> ourDelay, loopbackDelay;
  {
    OurChains ours;
    ours.build(session, clickApps);
    ourDelay = deviceDelay(session, &ours.queue, quantumSeen[1]);
    ours.tearDown();
  }
  if (!waitForGraph(session, nullptr, [&](const Graph& g) { return allOnDevice(g, clickApps); }))
    fail("the click app did not return to " + std::string(kDevice));
  {
    auto host = buildLoopbacks(session, clickApps, std::string(kLoopbackPrefix) + ".click");
    loopbackDelay = deviceDelay(session, nullptr, quantumSeen[2]);
    releaseLoopbacks(session, std::move(host), clickApps);
  }
  ::kill(-click, SIGTERM);
  if (!direct || !ourDelay || !loopbackDelay) fail("no edges matched for the delay");
  std::printf(
      "    direct %d, through ours %d, through the loopback %d samples (quantum %u, %u, %u)\n",
      *direct, *ourDelay, *loopbackDelay, quantumSeen[0], quantumSeen[1], quantumSeen[2]);

  for (const auto& [count, ratio] : ratios)
    std::printf("BENCH pipewire.cpu_vs_loopback_%d %.3f ratio\n", count, ratio);
  for (const auto& [count, ratio] : directRatios)
    std::printf("BENCH pipewire.cpu_vs_direct_%d %.3f ratio\n", count, ratio);
  for (const auto& [count, ratio] : untouchedRatios)
    std::printf("BENCH pipewire.cpu_vs_direct_untouched_%d %.3f ratio\n", count, ratio);
  std::printf("BENCH pipewire.move_gap_ms %.2f ms\n", moveGap);
  std::printf("BENCH pipewire.added_latency %d samples\n", *ourDelay - *direct);
  std::printf("BENCH pipewire.loopback_added_latency %d samples\n", *loopbackDelay - *direct);
  std::printf("(%.0f s)\n", std::chrono::duration<double>(Clock::now() - benchStart).count());
  return 0;
}

// ---- loopback-host mode ----------------------------------------------------------------------

struct Host {
  pw_main_loop* loop = nullptr;
  int pending = 0;
  bool failed = false;
};

// A plain null sink, as a desktop's "null sink" is made: not a device of the session (so it can
// never become the default output), gone with this process, and with a zero suspend timeout
// (WirePlumber 0.4.13 crashes when a node it is about to suspend is destroyed first).
pw_properties* sinkProperties(const std::string& name) {
  return pw_properties_new(PW_KEY_FACTORY_NAME, "support.null-audio-sink", PW_KEY_NODE_NAME,
                           name.c_str(), PW_KEY_NODE_DESCRIPTION, "Bench loopback sink",
                           PW_KEY_MEDIA_CLASS, "Audio/Sink/Internal", "audio.position", "[ FL FR ]",
                           PW_KEY_OBJECT_LINGER, "false", "session.suspend-timeout-seconds", "0",
                           nullptr);
}

int runLoopbackHost(const std::string& prefix, int count, const std::string& device) {
  pw_init(nullptr, nullptr);
  Host host;
  host.loop = pw_main_loop_new(nullptr);
  pw_loop* loop = pw_main_loop_get_loop(host.loop);
  pw_context* context = pw_context_new(loop, nullptr, 0);
  pw_core* core = context ? pw_context_connect(context, nullptr, 0) : nullptr;
  if (!core) {
    std::printf("failed: no connection\n");
    return 1;
  }
  auto quit = [](void* data, int) { pw_main_loop_quit(static_cast<Host*>(data)->loop); };
  pw_loop_add_signal(loop, SIGTERM, quit, &host);
  pw_loop_add_signal(loop, SIGINT, quit, &host);
  // Our parent holds the other end of stdin: when it goes, so do we.
  pw_loop_add_io(
      loop, STDIN_FILENO, SPA_IO_IN | SPA_IO_HUP | SPA_IO_ERR, false,
      [](void* data, int fd, uint32_t) {
        char buffer[64];
        if (::read(fd, buffer, sizeof buffer) <= 0)
          pw_main_loop_quit(static_cast<Host*>(data)->loop);
      },
      &host);

  std::vector<pw_proxy*> sinks;
  for (int i = 0; i < count; ++i) {
    pw_properties* props = sinkProperties(prefix + ".sink." + std::to_string(i));
    sinks.push_back(static_cast<pw_proxy*>(pw_core_create_object(
        core, "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &props->dict, 0)));
    pw_properties_free(props);
  }
  // Wait until the daemon has made the sinks, so each loopback finds its target.
  spa_hook coreHook{};
  pw_core_events coreEvents{};
  coreEvents.version = PW_VERSION_CORE_EVENTS;
  coreEvents.done = [](void* data, uint32_t, int) {
    pw_main_loop_quit(static_cast<Host*>(data)->loop);
  };
  coreEvents.error = [](void* data, uint32_t id, int, int, const char*) {
    if (id == PW_ID_CORE) {
      static_cast<Host*>(data)->failed = true;
      pw_main_loop_quit(static_cast<Host*>(data)->loop);
    }
  };
  mixelot::hal::pipewire::calls::addCoreListener(core, &coreHook, &coreEvents, &host);
  mixelot::hal::pipewire::calls::coreSync(core, 0);
  pw_main_loop_run(host.loop);

  std::vector<pw_impl_module*> modules;
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    const std::string args =
        "{ node.description=\"Bench loopback " + n + "\" capture.props={ node.name=" + prefix +
        ".capture." + n + " stream.capture.sink=true target.object=" + prefix + ".sink." + n +
        " node.dont-reconnect=true } playback.props={ node.name=" + prefix + ".playback." + n +
        " target.object=" + device + " node.dont-reconnect=true } }";
    pw_impl_module* loaded =
        pw_context_load_module(context, "libpipewire-module-loopback", args.c_str(), nullptr);
    if (!loaded) {
      std::printf("failed: loopback module %d: %s\n", i, std::strerror(errno));
      std::fflush(stdout);
      host.failed = true;
      break;
    }
    modules.push_back(loaded);
  }
  if (!host.failed) {
    std::printf("ready %d\n", count);
    std::fflush(stdout);
    pw_main_loop_run(host.loop);
  }

  for (pw_impl_module* loaded : modules) pw_impl_module_destroy(loaded);
  spa_hook_remove(&coreHook);
  for (pw_proxy* sink : sinks)
    if (sink) pw_proxy_destroy(sink);
  pw_core_disconnect(core);
  pw_context_destroy(context);
  pw_main_loop_destroy(host.loop);
  pw_deinit();
  return host.failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == kHostCommand)
    return runLoopbackHost(argv[2], std::atoi(argv[3]), argv[4]);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    Options options;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--delay-only") {
        options.delayOnly = true;
      } else if (arg == "--hold" && i + 3 < argc) {
        options.hold = argv[i + 1];
        options.holdCount = std::atoi(argv[i + 2]);
        options.holdSeconds = std::atof(argv[i + 3]);
        i += 3;
      } else {
        std::fprintf(stderr,
                     "usage: bench-pipewire [--delay-only | --hold ours|loopback|direct|untouched "
                     "K SECONDS]\n");
        return 2;
      }
    }
    return runBench(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench-pipewire: %s\n", error.what());
    return 1;
  }
}
