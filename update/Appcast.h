#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

#include "update/AppcastItem.h"

namespace mixelot {

// The update feed: an RSS 2.0 channel whose items carry the update namespace's fields
// (version, short version, an enclosure with URL, length and Ed25519 signature).
class Appcast {
 public:
  static constexpr const char* kNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

  // A feed lists a release per item; more than this many are not read.
  static constexpr std::size_t kMaxItems = 100;

  // The feed's items in document order. Items without a version or an enclosure URL, or with a
  // field longer than a feed of ours ever writes, are left out; a document that stops being
  // well-formed keeps the items read before the fault. A document with a document type
  // declaration (where entities that expand to gigabytes are declared) is refused: absent.
  static std::optional<std::vector<AppcastItem>> parse(const QByteArray& document);

  // The newest item newer than `currentVersion`, unless that newest one is `skippedVersion`.
  static std::optional<AppcastItem> bestUpdate(const std::vector<AppcastItem>& items,
                                               const QString& currentVersion,
                                               const QString& skippedVersion = {});
};

}  // namespace mixelot
