#include "platform/SystemLog.h"

#include <atomic>
#include <cstdio>

namespace mixelot {
namespace {

StderrLog& defaultSink() {
  static StderrLog sink;
  return sink;
}

std::atomic<SystemLog*>& currentSink() {
  static std::atomic<SystemLog*> sink{&defaultSink()};
  return sink;
}

}  // namespace

void logLine(std::string_view message) {
  std::string line;
  line.reserve(SystemLog::kPrefix.size() + message.size());
  line.append(SystemLog::kPrefix).append(message);
  currentSink().load()->write(line);
}

SystemLog* setSystemLog(SystemLog* sink) {
  return currentSink().exchange(sink ? sink : &defaultSink());
}

void StderrLog::write(std::string_view line) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

CapturingLog::CapturingLog() : previous_(setSystemLog(this)) {}
CapturingLog::~CapturingLog() {
  setSystemLog(previous_);
}

void CapturingLog::write(std::string_view line) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(line);
}

std::vector<std::string> CapturingLog::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool CapturingLog::contains(std::string_view fragment) const {
  std::lock_guard lock(mutex_);
  for (const auto& line : lines_)
    if (line.find(fragment) != std::string::npos) return true;
  return false;
}

void CapturingLog::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace mixelot
