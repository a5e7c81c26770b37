#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ProcessInfo.h"
#include "platform/Workspace.h"

namespace mixelot {

// The running applications of one discovery pass, indexed once at its start so that every
// per-process question is a hash lookup: a pass over thousands of process objects must stay
// linear in their number.
class RunningAppIndex {
 public:
  explicit RunningAppIndex(std::vector<RunningApplication> applications);
  RunningAppIndex(const RunningAppIndex&) = delete;  // the maps view the vector's strings
  RunningAppIndex& operator=(const RunningAppIndex&) = delete;

  // The application with this PID; when the workspace reports a PID twice, the later one.
  const RunningApplication* byPID(pid_t pid) const;
  // The first running application with this bundle identifier.
  const RunningApplication* firstWithBundleID(std::string_view bundleID) const;
  // The first running application bundle with this bundle identifier.
  const RunningApplication* firstBundleWithBundleID(std::string_view bundleID) const;

  const std::vector<RunningApplication>& applications() const { return applications_; }

 private:
  using StringHash = std::hash<std::string_view>;
  // Keys view the bundle identifiers held in applications_, which never changes after
  // construction.
  using ByBundleID = std::unordered_map<std::string_view, size_t, StringHash>;

  const RunningApplication* find(const ByBundleID& map, std::string_view bundleID) const;

  std::vector<RunningApplication> applications_;
  std::unordered_map<pid_t, size_t> byPID_;
  ByBundleID firstByBundleID_;
  ByBundleID firstBundleByBundleID_;
};

// How many ancestors of a process are asked whether they are an application.
inline constexpr int kMaxParentSteps = 5;

// The nearest of the first five ancestors of `pid` that is a running application bundle.
const RunningApplication* findParentApp(pid_t pid, const RunningAppIndex& applications,
                                        const ProcessInfo& processInfo);

// The identity of the application a process belongs to, asked one process at a time, as a
// discovery pass folds processes (without the helper rules, which need every running app): the
// process's own application bundle, else findParentApp's. For the audio backend, which moves a
// new stream of an app that plays through a tap before the next pass would.
std::optional<std::string> owningApplicationID(pid_t pid, const Workspace& workspace,
                                               const ProcessInfo& processInfo);

// The application a helper program belongs to: by the helper table, else by dropping the last
// component of a bundle identifier of three or more components ("com.example.tool.worker" ->
// "com.example.tool"). Nothing for an absent bundle identifier.
const RunningApplication* findAppForHelper(const std::optional<std::string>& bundleID,
                                           const RunningAppIndex& applications);

// Programs without a desktop entry (a game run by Wine, an AppImage, a script, a tool started
// from a terminal) are applications of their own: listed under the name they give themselves,
// with an id made from it (so their volume is saved like any app's) and a generic icon. The
// never-listed tables apply to that name as to any identifier.
inline constexpr std::string_view kProgramIdPrefix = "program:";
inline constexpr std::string_view kProgramIcon = "application-x-executable";
std::optional<RunningApplication> programWithoutEntry(const std::optional<std::string>& name);

// Whether a process names itself after `application` (its name or identifier, ignoring case):
// a launcher's own helper rather than a program it started.
bool reportsApplication(const std::optional<std::string>& name,
                        const RunningApplication& application);

// Whether the bundle identifier belongs to a system service whose sound is never listed.
bool isSystemProcess(std::string_view bundleID);

// Whether the bundle identifier is one of the applications that are never listed.
bool isNonAudioApp(std::string_view bundleID);

}  // namespace mixelot
