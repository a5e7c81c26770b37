#include "platform/linux/JournalLog.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdio>

namespace mixelot {

void JournalLog::write(std::string_view line) {
  const int length = static_cast<int>(line.size());
  // Without a journal (a container, a non-systemd session) the call fails; stderr still has it.
  sd_journal_send("MESSAGE=%.*s", length, line.data(), "PRIORITY=%i", LOG_NOTICE,
                  "SYSLOG_IDENTIFIER=mixelot", nullptr);
  std::fprintf(stderr, "%.*s\n", length, line.data());
}

}  // namespace mixelot
