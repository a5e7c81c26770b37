#pragma once

#include <string_view>

namespace mixelot::prefs {

// The update component's keys in the user-defaults store, named as the update framework of the
// original platform names them. They are stored in users' files: never rename one.
inline constexpr std::string_view kAutomaticallyUpdate = "SUAutomaticallyUpdate";  // boolean
inline constexpr std::string_view kSkippedVersion = "SUSkippedVersion";  // string, a feed version
// Seconds since the epoch of the last scheduled feed check that got an answer.
inline constexpr std::string_view kLastCheckTime = "SULastCheckTime";
inline constexpr bool kAutomaticallyUpdateDefault = true;

}  // namespace mixelot::prefs
