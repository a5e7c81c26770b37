#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>

#include "update/UpdateUserDriver.h"

namespace mixelot {

// The update windows on a desktop, as Qt widgets. Without a display (the program runs headless)
// nothing is shown: an offer is answered "remind me later" and nothing is opened.
class WidgetUserDriver final : public UpdateUserDriver {
 public:
  ~WidgetUserDriver() override { delete progress_; }

  void showUpToDate(const QString& message, const QString& informativeText) override;
  void showCheckFailed(const QString& message, const QString& informativeText) override;
  void showUpdateFound(const AppcastItem& item, bool downloaded,
                       std::function<void(Choice)> reply) override;
  void showDownloadProgress(qint64 received, qint64 total, std::function<void()> cancel) override;
  void hideDownloadProgress() override;
  void showDownloadFailed(const QString& message) override;
  bool openWithPackageInstaller(const QString& path) override;
  void showPackageLocation(const QString& path, bool opened) override;

  // A message box as these windows show it, not yet shown. Its texts are plain text: they may
  // carry a server's words, which must not be read as markup or offer links.
  static QMessageBox* messageBox(QMessageBox::Icon icon, const QString& message,
                                 const QString& informativeText);

 private:
  QPointer<QProgressDialog> progress_;
  std::function<void()> cancel_;
};

}  // namespace mixelot
