#pragma once

#include <QByteArray>
#include <QString>

#include "update/AppcastItem.h"

namespace mixelot {

// Decides whether a downloaded package may be offered for installing: exactly the size the feed
// announced, signed by our key, and, by its own control data, our package at the feed item's
// version and newer than the running one (a signature alone would let an old release of ours be
// replayed as new). The file is mapped, never read into memory whole.
class PackageVerifier {
 public:
  // The largest package we accept; a feed announcing more is not ours.
  static constexpr qint64 kMaxPackageSize = 256 * 1024 * 1024;

  PackageVerifier(QByteArray publicKey, QString runningVersion)
      : publicKey_(std::move(publicKey)), runningVersion_(std::move(runningVersion)) {}

  // Why the package open at `fd` is refused, for the user; empty when it is good.
  QString check(int fd, const AppcastItem& item) const;

  // Whether the file open at `fd` is a package of ours newer than the running program (its
  // signature is not looked at: this only decides what is worth keeping).
  bool isNewerPackage(int fd) const;

  // The same for the file at `path`, which must be a regular file of ours (a link is refused).
  QString checkFile(const QString& path, const AppcastItem& item) const;

 private:
  QByteArray publicKey_;
  QString runningVersion_;
};

}  // namespace mixelot
