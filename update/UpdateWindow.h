#pragma once

#include <QDialog>
#include <functional>

#include "update/AppcastItem.h"
#include "update/UpdateUserDriver.h"

namespace mixelot {

// The window that offers an update: its version, its release notes as plain text (nothing
// remote is ever loaded), and the choices download (or install, once downloaded), remind me
// later and skip this version. Closing the window counts as remind me later.
class UpdateWindow final : public QDialog {
  Q_OBJECT

 public:
  UpdateWindow(const AppcastItem& item, const QString& currentVersion, bool downloaded,
               std::function<void(UpdateUserDriver::Choice)> reply, QWidget* parent = nullptr);

  // Release notes as the window shows them: HTML reduced to its text, plain text as it is.
  static QString plainReleaseNotes(const QString& notes);

 private:
  void answer(UpdateUserDriver::Choice choice);

  std::function<void(UpdateUserDriver::Choice)> reply_;
};

}  // namespace mixelot
