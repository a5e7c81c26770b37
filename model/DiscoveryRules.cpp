#include "model/DiscoveryRules.h"

#include <algorithm>
#include <unordered_set>

#include "model/DiscoveryTables.h"

namespace mixelot {

RunningAppIndex::RunningAppIndex(std::vector<RunningApplication> applications)
    : applications_(std::move(applications)) {
  byPID_.reserve(applications_.size());
  firstByBundleID_.reserve(applications_.size());
  firstBundleByBundleID_.reserve(applications_.size());
  for (size_t i = 0; i < applications_.size(); ++i) {
    const auto& application = applications_[i];
    byPID_[application.pid] = i;  // a later entry replaces an earlier one
    if (!application.bundleIdentifier) continue;
    firstByBundleID_.try_emplace(*application.bundleIdentifier, i);
    if (application.isApplicationBundle)
      firstBundleByBundleID_.try_emplace(*application.bundleIdentifier, i);
  }
}

const RunningApplication* RunningAppIndex::byPID(pid_t pid) const {
  auto it = byPID_.find(pid);
  return it == byPID_.end() ? nullptr : &applications_[it->second];
}

const RunningApplication* RunningAppIndex::find(const ByBundleID& map,
                                                std::string_view bundleID) const {
  auto it = map.find(bundleID);
  return it == map.end() ? nullptr : &applications_[it->second];
}

const RunningApplication* RunningAppIndex::firstWithBundleID(std::string_view bundleID) const {
  return find(firstByBundleID_, bundleID);
}

const RunningApplication* RunningAppIndex::firstBundleWithBundleID(
    std::string_view bundleID) const {
  return find(firstBundleByBundleID_, bundleID);
}

const RunningApplication* findParentApp(pid_t pid, const RunningAppIndex& applications,
                                        const ProcessInfo& processInfo) {
  for (int step = 0; step < kMaxParentSteps; ++step) {
    auto parent = processInfo.parentProcessId(pid);
    // PID 1 (init) and 0 are nobody's application; stop there rather than walk into them.
    if (!parent || *parent < 2) return nullptr;
    const auto* application = applications.byPID(*parent);
    if (application && application->isApplicationBundle) return application;
    pid = *parent;
  }
  return nullptr;
}

std::optional<std::string> owningApplicationID(pid_t pid, const Workspace& workspace,
                                               const ProcessInfo& processInfo) {
  for (int step = 0; step <= kMaxParentSteps; ++step) {
    if (step > 0) {
      auto parent = processInfo.parentProcessId(pid);
      if (!parent || *parent < 2) return std::nullopt;
      pid = *parent;
    }
    auto application = workspace.runningApplication(pid);
    if (!application || !application->isApplicationBundle) continue;
    // What a terminal or a launcher started is a program of its own (see the discovery pass),
    // which this cannot name without the process's own name: the pass will.
    if (step > 0 && application->hostsOtherPrograms) return std::nullopt;
    if (application->bundleIdentifier && !application->bundleIdentifier->empty())
      return application->bundleIdentifier;
  }
  return std::nullopt;
}

const RunningApplication* findAppForHelper(const std::optional<std::string>& bundleID,
                                           const RunningAppIndex& applications) {
  if (!bundleID) return nullptr;
  for (const auto& [prefix, parent] : kHelperBundleParents) {
    // A table match is final: the helper belongs to that application or to none running.
    if (bundleID->starts_with(prefix)) return applications.firstWithBundleID(parent);
  }
  // The dot rule: the identifier with its last non-empty component dropped, when at least two
  // components remain (so "example.worker" never maps to a one-word identifier).
  std::string_view id = *bundleID;
  const bool hasEmptyParts =
      id.empty() || id.front() == '.' || id.back() == '.' || id.find("..") != id.npos;
  if (!hasEmptyParts) {
    // The common shape needs no copy: the parent is everything before the last dot.
    if (std::count(id.begin(), id.end(), '.') < 2) return nullptr;
    return applications.firstBundleWithBundleID(id.substr(0, id.rfind('.')));
  }
  std::vector<std::string_view> parts;
  for (size_t start = 0; start <= id.size();) {
    size_t dot = std::min(id.find('.', start), id.size());
    if (dot > start) parts.push_back(id.substr(start, dot - start));
    start = dot + 1;
  }
  if (parts.size() <= 2) return nullptr;
  std::string parentID;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (i > 0) parentID += '.';
    parentID += parts[i];
  }
  return applications.firstBundleWithBundleID(parentID);
}

std::optional<RunningApplication> programWithoutEntry(const std::optional<std::string>& name) {
  if (!name || name->empty() || isSystemProcess(*name) || isNonAudioApp(*name)) return std::nullopt;
  RunningApplication program;
  program.bundleIdentifier = std::string(kProgramIdPrefix) + *name;
  program.localizedName = *name;
  program.iconName = std::string(kProgramIcon);
  return program;
}

bool reportsApplication(const std::optional<std::string>& name,
                        const RunningApplication& application) {
  if (!name) return false;
  auto same = [&](const std::optional<std::string>& other) {
    return other && std::equal(name->begin(), name->end(), other->begin(), other->end(),
                               [](unsigned char a, unsigned char b) {
                                 return std::tolower(a) == std::tolower(b);
                               });
  };
  return same(application.localizedName) || same(application.bundleIdentifier);
}

bool isSystemProcess(std::string_view bundleID) {
  for (auto prefix : kSystemProcessPrefixes)
    if (bundleID.starts_with(prefix)) return true;
  for (auto prefix : kLinuxSystemProcessPrefixes)
    if (bundleID.starts_with(prefix)) return true;
  return false;
}

bool isNonAudioApp(std::string_view bundleID) {
  static const std::unordered_set<std::string_view> table = [] {
    std::unordered_set<std::string_view> ids(kNonAudioBundleIDs.begin(), kNonAudioBundleIDs.end());
    ids.insert(kLinuxNonAudioBundleIDs.begin(), kLinuxNonAudioBundleIDs.end());
    return ids;
  }();
  return table.count(bundleID) > 0;
}

}  // namespace mixelot
