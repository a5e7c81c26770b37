#pragma once

#include <QDateTime>
#include <QString>
#include <QUrl>
#include <cstdint>

namespace mixelot {

// One release offered by the update feed: an RSS 2.0 item with the update namespace's version
// fields and an enclosure pointing at the signed package.
struct AppcastItem {
  QString title;
  // The machine version compared against ours; "shortVersion" is the one shown to people.
  QString version;
  QString shortVersion;
  // As the feed has it (plain text or HTML); shown only after conversion to plain text.
  QString releaseNotes;
  QDateTime publicationDate;
  QUrl enclosureUrl;
  std::int64_t enclosureLength = -1;
  // Base64 of the 64-byte Ed25519 signature of the package.
  QByteArray edSignature;

  // The version people see: the short version when the feed gives one, at most 64 characters.
  QString displayVersion() const {
    const QString& shown = shortVersion.isEmpty() ? version : shortVersion;
    return shown.size() > 64 ? shown.left(63) + u'\u2026' : shown;
  }
};

}  // namespace mixelot
