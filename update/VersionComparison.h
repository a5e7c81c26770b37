#pragma once

#include <QString>

namespace mixelot {

// Compares two release versions; negative when `a` is older than `b`, 0 when they are the same
// release, positive when `a` is newer. Versions split into runs of digits, runs of letters and
// separators; numbers compare numerically ("1.10" > "1.9"), letters alphabetically without case
// ("2.0b1" < "2.0rc1"), and a number beats letters at the same place ("1.0.1" > "1.0b1").
// Missing numbers count as 0 ("1.0" == "1.0.0"); letters after the common part mark a
// pre-release, older than the version without them ("2.0b1" < "2.0").
int compareVersions(const QString& a, const QString& b);

}  // namespace mixelot
