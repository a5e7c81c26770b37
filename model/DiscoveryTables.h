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

// The Linux counterparts, exact desktop-entry ids (current and older spellings): file managers,
// the settings panels and terminals. A terminal's bell is the terminal's own sound; a program
// started from a terminal is a program of its own, listed under its entry's name or, without an
// entry, under the name it gives itself.
inline constexpr std::array<std::string_view, 32> kLinuxNonAudioBundleIDs = {
    // file managers
    "org.gnome.Nautilus", "nautilus", "org.kde.dolphin", "thunar", "Thunar", "org.xfce.Thunar",
    "nemo", "caja", "pcmanfm", "pcmanfm-qt", "io.elementary.files",
    // settings
    "org.gnome.Settings", "gnome-control-center", "systemsettings",
    // terminals
    "org.gnome.Terminal", "org.gnome.Console", "org.gnome.Ptyxis", "org.kde.konsole",
    "xfce4-terminal", "org.xfce.terminal", "com.gexperts.Tilix", "kitty", "Alacritty",
    "org.wezfurlong.wezterm", "foot", "footclient", "terminator", "mate-terminal", "lxterminal",
    "xterm", "debian-xterm", "io.elementary.terminal"};

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
// The desktop shells, panels and session daemons play the session's own sounds (log-in,
// notifications, volume feedback), as do the event-sound players they start, and belong here for
// the same reason.
inline constexpr std::array<std::string_view, 24> kLinuxSystemProcessPrefixes = {
    "pipewire",  // also pipewire-pulse
    "org.pipewire.",
    "wireplumber",
    "pulseaudio",
    "speech-dispatcher",
    // desktop shells
    "org.gnome.Shell",
    "gnome-shell",
    "org.kde.plasmashell",
    "plasmashell",
    "cinnamon",
    "mate-panel",
    "xfce4-panel",
    "xfce4-notifyd",
    // session daemons and event-sound players
    "org.gnome.SettingsDaemon",
    "gsd-",
    "org.kde.kded",
    "kded",
    "org.kde.KWin",
    "kwin",
    "ksmserver",
    "xdg-desktop-portal",
    "org.freedesktop.libcanberra",
    "canberra-gtk-play",
    "gsound-play",
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
