#include "platform/linux/ProcFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <sstream>

namespace mixelot::procfs {

std::optional<std::string> readFile(const std::string& path) {
  // Plain reads: the scans read a few files of every process, and a stream costs more than the
  // read itself.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t length = ::read(fd, buffer, sizeof buffer);
    if (length < 0 && errno == EINTR) continue;
    if (length < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (length == 0) break;
    text.append(buffer, static_cast<size_t>(length));
  }
  ::close(fd);
  return text;
}

namespace {

std::string processPath(pid_t pid) {
  return "/proc/" + std::to_string(pid);
}

}  // namespace

std::optional<std::string> readProcessFile(pid_t pid, std::string_view file) {
  return readFile(processPath(pid) + "/" + std::string(file));
}

bool isOurs(pid_t pid) {
  struct stat info {};
  return ::stat(processPath(pid).c_str(), &info) == 0 && info.st_uid == ::getuid();
}

std::optional<pid_t> parentPidFromStat(const std::string& stat) {
  // "pid (comm) state ppid ..."; comm may itself contain ") ", so take the last ')'.
  auto close = stat.rfind(')');
  if (close == std::string::npos || close + 4 >= stat.size()) return std::nullopt;
  std::istringstream rest(stat.substr(close + 2));
  std::string state;
  long ppid = -1;
  if (!(rest >> state >> ppid) || ppid < 0) return std::nullopt;
  return static_cast<pid_t>(ppid);
}

std::optional<uint64_t> startTimeFromStat(const std::string& stat) {
  // Field 22; the fields after the command name start at field 3.
  auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(stat.substr(close + 1));
  std::string field;
  for (int i = 3; i < 22; ++i)
    if (!(rest >> field)) return std::nullopt;
  uint64_t ticks = 0;
  if (!(rest >> ticks)) return std::nullopt;
  return ticks;
}

std::optional<uint64_t> startTime(pid_t pid) {
  auto stat = readProcessFile(pid, "stat");
  if (!stat) return std::nullopt;
  return startTimeFromStat(*stat);
}

std::optional<ProcessStamp> stampFromStat(const std::string& stat) {
  auto open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
  auto start = startTimeFromStat(stat);
  if (!start) return std::nullopt;
  return ProcessStamp{*start, stat.substr(open + 1, close - open - 1)};
}

std::optional<ProcessStamp> stamp(pid_t pid) {
  auto stat = readProcessFile(pid, "stat");
  if (!stat) return std::nullopt;
  return stampFromStat(*stat);
}

std::optional<uint64_t> ticksSinceBoot() {
  auto uptime = readFile("/proc/uptime");
  if (!uptime) return std::nullopt;
  std::istringstream in(*uptime);
  double seconds = 0;
  if (!(in >> seconds) || seconds < 0) return std::nullopt;
  return static_cast<uint64_t>(seconds * static_cast<double>(::sysconf(_SC_CLK_TCK)));
}

std::optional<pid_t> parentPid(pid_t pid) {
  auto stat = readProcessFile(pid, "stat");
  if (!stat) return std::nullopt;
  return parentPidFromStat(*stat);
}

std::optional<std::string> executable(pid_t pid) {
  const std::string link = processPath(pid) + "/exe";
  char buffer[4096];
  ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (length <= 0) return std::nullopt;
  std::string path(buffer, static_cast<size_t>(length));
  // A replaced binary reads as "/usr/bin/foo (deleted)"; the name is still the program's.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
  return path;
}

std::vector<std::string> commandLine(pid_t pid) {
  std::vector<std::string> arguments;
  auto text = readProcessFile(pid, "cmdline");
  if (!text) return arguments;
  std::string_view rest = *text;
  while (!rest.empty()) {
    auto end = rest.find('\0');
    arguments.emplace_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return arguments;
}

std::optional<std::string> flatpakAppId(pid_t pid) {
  auto info = readProcessFile(pid, "root/.flatpak-info");
  if (!info) return std::nullopt;
  std::istringstream lines(*info);
  bool inApplication = false;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.front() == '[') {
      inApplication = line == "[Application]";
    } else if (inApplication && line.starts_with("name=")) {
      return line.substr(5);
    }
  }
  return std::nullopt;
}

std::vector<pid_t> namespacePids(pid_t pid) {
  std::vector<pid_t> pids;
  auto status = readProcessFile(pid, "status");
  if (!status) return pids;
  auto start = status->find("\nNSpid:");
  if (start == std::string::npos) return pids;
  std::istringstream line(status->substr(start + 7, status->find('\n', start + 1) - start - 7));
  for (long value = 0; line >> value;) pids.push_back(static_cast<pid_t>(value));
  return pids;
}

std::vector<pid_t> allPids() {
  std::vector<pid_t> pids;
  DIR* dir = ::opendir("/proc");
  if (!dir) return pids;
  while (dirent* entry = ::readdir(dir)) {
    pid_t pid = 0;
    const char* name = entry->d_name;
    auto [end, error] = std::from_chars(name, name + std::char_traits<char>::length(name), pid);
    if (error == std::errc() && *end == '\0' && pid > 0) pids.push_back(pid);
  }
  ::closedir(dir);
  return pids;
}

}  // namespace mixelot::procfs
