#pragma once

#include <QByteArrayView>
#include <QString>
#include <optional>

namespace mixelot {

// The fields of a Debian package's control data that decide whether it is an update of ours.
struct DebianPackage {
  QString name;
  QString version;

  // Reads the control file of the .deb held in `deb` (an ar archive whose control.tar.* member
  // holds ./control). Absent when it is no such archive or names no package and version.
  static std::optional<DebianPackage> read(QByteArrayView deb);
};

}  // namespace mixelot
