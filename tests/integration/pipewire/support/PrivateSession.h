#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace mixelot::testsupport {

// A private audio session (scripts/pw-session) for one test binary: its own D-Bus, PipeWire and
// WirePlumber under a temporary folder, devices "speakers" (the default) and "headphones", and
// tone apps. Starting it points this process's environment at it, so a PipeWire client made
// afterwards talks to it. The session is stopped when this object goes and also when the test
// process dies any other way (a watchdog process waits for that).
class PrivateSession {
 public:
  PrivateSession();
  ~PrivateSession();
  PrivateSession(const PrivateSession&) = delete;
  PrivateSession& operator=(const PrivateSession&) = delete;

  bool isRunning() const { return running_; }
  const std::string& dir() const { return dir_; }
  // Why start failed, for the test's message.
  const std::string& error() const { return error_; }

  struct ToneOptions {
    bool child = false;    // played by a child process of the app
    bool pulse = false;    // played through the PulseAudio server, as most desktop apps do
    bool sandbox = false;  // a Flatpak app in a bubblewrap sandbox
    bool noEntry = false;  // a program without a desktop entry
    std::string name;      // its application.name; "<last part of the id> Tone" when empty
    double amplitude = 0.5;
    std::string target;  // a device to pin the stream to
  };
  // Starts a tone app (with a desktop entry) and waits until its stream runs; its pid, or
  // nothing when that failed.
  std::optional<pid_t> tone(const std::string& appId, int frequency, const ToneOptions& options);
  std::optional<pid_t> tone(const std::string& appId, int frequency) {
    return tone(appId, frequency, ToneOptions{});
  }
  struct PingOptions {
    bool child = false;  // a new player process per ping, rather than a new stream
    double amplitude = 0.5;
    double interval = 0.6;  // seconds from one ping's start to the next
  };
  // Starts a chat-like app (with a desktop entry) that plays a 0.4 s ping every interval through
  // the PulseAudio server, each a new stream; its pid, or nothing when it did not start.
  std::optional<pid_t> pings(const std::string& appId, int frequency, const PingOptions& options);
  // How many pings of the app have finished (drained) so far.
  int finishedPings(const std::string& appId);
  // Ends a tone app (its whole process group) and waits until it is gone.
  void stopTone(pid_t pid);

  // RMS level in dB of what a device plays, over `seconds`; -inf for silence, nothing on error.
  // Blocking: use levelWhileRunning from a test that has a main queue to keep going.
  std::optional<double> level(const std::string& device, double seconds = 0.5);
  // Records a device's output (32-bit float stereo at 48 kHz) for `seconds`; interleaved samples.
  std::optional<std::vector<float>> record(const std::string& device, double seconds);

  bool setDefault(const std::string& device);
  // Points an app's streams at a device the way the desktop's mixers do (the device's serial as
  // target.object in the "default" metadata), which the session manager also remembers.
  bool pinApp(const std::string& appId, const std::string& device);
  bool unplug(const std::string& device);
  bool plug(const std::string& device, const std::string& description);

  // Restarts a daemon of the session ("wireplumber", "pipewire"); the environment stays valid.
  bool restart(const std::string& daemon);

  // The session's graph as pw-dump prints it.
  nlohmann::json dump();
  // Names of the nodes the streams of an app (by application.id) are linked to, sorted.
  std::vector<std::string> linkedTargets(const std::string& appId);
  // node.name of every node whose name starts with `prefix`.
  std::vector<std::string> nodesNamed(const std::string& prefix);
  // WirePlumber's saved stream state (restore-stream file), empty when there is none.
  std::string savedStreamState();

 private:
  // Runs a pw-session command on this session; its stdout, or nothing when it failed.
  std::optional<std::string> session(const std::string& command,
                                     const std::vector<std::string>& arguments);
  void loadEnvironment();
  void startWatchdog();

  std::string script_;
  std::string dir_;
  std::string error_;
  bool running_ = false;
  int watchdogPipe_ = -1;
  pid_t watchdog_ = -1;
};

// Runs a shell command; its stdout and exit status.
struct CommandResult {
  int status = -1;
  std::string output;
};
CommandResult runCommand(const std::string& command);

}  // namespace mixelot::testsupport
