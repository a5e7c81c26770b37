#pragma once

#include <QMessageBox>

#include "update/UpdateUserDriver.h"

namespace mixelot {

// The update windows on a desktop, as Qt widgets. Without a display (the program runs headless)
// nothing is shown: an offer is answered "remind me later" and nothing is opened.
class WidgetUserDriver final : public UpdateUserDriver {
 public:
  void showUpToDate(const QString& message, const QString& informativeText) override;
  void showCheckFailed(const QString& message, const QString& informativeText) override;
  void showUpdateFound(const AppcastItem& item, bool downloaded,
                       std::function<void(Choice)> reply) override;
  void showDownloadFailed(const QString& message) override;
  bool openWithPackageInstaller(const QString& path) override;
  void showPackageLocation(const QString& path, bool opened) override;

  // A message box as these windows show it, not yet shown. Its texts are plain text: they may
  // carry a server's words, which must not be read as markup or offer links.
  static QMessageBox* messageBox(QMessageBox::Icon icon, const QString& message,
                                 const QString& informativeText);
};

}  // namespace mixelot
