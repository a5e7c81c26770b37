#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace mixelot {

// Where diagnostics go. Every line starts with "[Mixelot] "; callers pass the text after it.
class SystemLog {
 public:
  static constexpr std::string_view kPrefix = "[Mixelot] ";

  virtual ~SystemLog() = default;
  // Receives the whole line, prefix included.
  virtual void write(std::string_view line) = 0;
};

// Writes a line to the process-wide sink. Not for the real-time audio path.
void logLine(std::string_view message);

// Replaces the process-wide sink (nullptr restores the default stderr sink) and returns the
// previous one. The sink must outlive its installation.
SystemLog* setSystemLog(SystemLog* sink);

// The default sink: stderr. The Linux build adds the journal on top (platform/linux).
class StderrLog final : public SystemLog {
 public:
  void write(std::string_view line) override;
};

// Keeps every line, for tests; installs itself for its lifetime.
class CapturingLog final : public SystemLog {
 public:
  CapturingLog();
  ~CapturingLog() override;
  CapturingLog(const CapturingLog&) = delete;
  CapturingLog& operator=(const CapturingLog&) = delete;

  void write(std::string_view line) override;
  std::vector<std::string> lines() const;
  bool contains(std::string_view fragment) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  SystemLog* previous_;
};

}  // namespace mixelot
