#pragma once

#include "platform/SystemLog.h"

namespace mixelot {

// The program's log: each line to the systemd journal (identifier "mixelot") and to stderr.
class JournalLog final : public SystemLog {
 public:
  void write(std::string_view line) override;
};

}  // namespace mixelot
