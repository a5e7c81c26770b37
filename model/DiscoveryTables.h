#pragma once

#include <array>
#include <string_view>
#include <utility>

namespace mixelot {

// The fixed knowledge discovery applies to bundle identifiers. The identifiers are the ones the
// program has always used (macOS bundle identifiers); on Linux the same strings still arrive from
// applications that keep their historical reverse-DNS ids, and our own id is our desktop-entry id.

// Applications that are never listed even when the audio layer reports output for them: tools
// whose incidental sounds (alerts, previews) should not clutter the mixer, and ourselves.
inline constexpr std::array<std::string_view, 25> kNonAudioBundleIDs = {
    "com.apple.finder",
    "com.apple.systempreferences",
    "com.apple.SystemPreferences",
    "com.apple.TextEdit",
    "com.apple.Preview",
    "com.apple.iWork.Pages",
    "com.apple.iWork.Numbers",
    "com.apple.iWork.Keynote",
    "com.apple.Terminal",
    "com.apple.dt.Xcode",
    "com.microsoft.VSCode",
    "com.googlecode.iterm2",
    "com.apple.calculator",
    "com.apple.ActivityMonitor",
    "com.apple.Console",
    "com.apple.DiskUtility",
    "com.apple.KeychainAccess",
    "com.apple.FontBook",
    "com.apple.DigitalColorMeter",
    "com.apple.ColorSyncUtility",
    "com.apple.ScriptEditor2",
    "com.apple.Automator",
    "com.apple.archiveutility",
    "com.apple.installer",
    "com.corvana.Mixelot",  // ourselves
};

// System services that play sound on the system's behalf; tapping them would capture alerts and
// calls that belong to no application. Matched as prefixes, in this order.
inline constexpr std::array<std::string_view, 19> kSystemProcessPrefixes = {
    "com.apple.audio.",
    "com.apple.avconferenced",
    "com.apple.callservicesd",
    "com.apple.controlcenter",
    "com.apple.loginwindow",
    "com.apple.PowerChime",
    "com.apple.quicklook",
    "com.apple.corespeech",
    "com.apple.mediaremoted",
    "com.apple.accessibility",
    "com.apple.mediaanalysisd",
    "com.apple.replayd",
    "com.apple.cmio",
    "com.apple.audiomxd",
    "com.apple.TelephonyUtilities",
    "com.apple.universalaccessd",
    "com.apple.Sound-Settings",
    "com.apple.MobileSMS",
    "systemsoundserverd",
};

// The same for the Linux audio stack: the sound server runs its own loopback, echo-cancel and
// filter-chain streams inside its own process (so they reach us as the server's process object),
// and the speech service plays the screen reader's voice. Capturing any of them would take
// system audio hostage to one mixer row. Matched as prefixes, after the table above.
inline constexpr std::array<std::string_view, 5> kLinuxSystemProcessPrefixes = {
    "pipewire",  // also pipewire-pulse
    "org.pipewire.", "wireplumber", "pulseaudio", "speech-dispatcher",
};

// Helper programs whose sound belongs to another application: (helper id prefix, application id),
// tried in this order. Used only when neither the process nor its ancestors are an application.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kHelperBundleParents =
    {{
        {"com.apple.WebKit", "com.apple.Safari"},
        {"com.google.Chrome.helper", "com.google.Chrome"},
        {"com.anthropic.claudefordesktop.helper", "com.anthropic.claudefordesktop"},
        {"com.tinyspeck.slackmacgap.helper", "com.tinyspeck.slackmacgap"},
    }};

}  // namespace mixelot
