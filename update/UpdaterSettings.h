#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>

namespace mixelot {

class UpdateUserDriver;

// What the update component needs to know about the build it runs in. The defaults are the
// program's own: the feed address and the public key are build settings, the name and version
// those of this build. Tests replace them.
struct UpdaterSettings {
  // The update feed, HTTPS only. Absent, not a valid URL or not HTTPS: the manual check says it
  // failed and the scheduled check does nothing.
  std::optional<QString> feedUrl;
  // The name and version the up-to-date alert shows; absent ones read "This app" and "1.0".
  std::optional<QString> bundleName;
  std::optional<QString> bundleVersion;
  // Base64 of the raw 32-byte Ed25519 public key packages are signed for.
  QByteArray publicKey;
  // Where verified packages wait: "Mixelot Updates" in the downloads folder by default, where a
  // sandboxed software centre can read them (a hidden folder it may not see).
  QString cacheFolder;
  // A request that receives nothing for this long fails.
  std::chrono::milliseconds transferTimeout{30000};
  // A feed check that has not ended this long after it began fails, however steadily the
  // server trickles bytes in (the transfer timeout counts silence only).
  std::chrono::milliseconds checkDeadline{60000};
  // Certificate authorities trusted beside the system's (a local test server's).
  QList<QSslCertificate> extraCaCertificates;
  // The windows; null means the desktop's own (none without a display).
  UpdateUserDriver* userDriver = nullptr;
  // The wall clock the daily check is measured on, in seconds since the epoch.
  std::function<double()> wallClock;

  // This build's settings.
  static UpdaterSettings forThisBuild();
};

}  // namespace mixelot
