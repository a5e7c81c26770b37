#pragma once

// Stands in for the update windows: records what would be shown and answers offers with a
// chosen reply.

#include <QStringList>
#include <vector>

#include "update/UpdateUserDriver.h"

namespace mixelot::testsupport {

class RecordingUserDriver final : public UpdateUserDriver {
 public:
  void showUpToDate(const QString& message, const QString& detail) override {
    upToDate.append(message + u'|' + detail);
  }
  void showCheckFailed(const QString& message, const QString& detail) override {
    checkFailures.append(message + u'|' + detail);
  }
  void showUpdateFound(const AppcastItem& item, bool downloaded,
                       std::function<void(Choice)> reply) override {
    offers.push_back({item.version, downloaded});
    reply(downloaded ? onDownloaded : onOffer);
  }
  void showDownloadFailed(const QString& message) override { failures.append(message); }
  bool openWithPackageInstaller(const QString& path) override {
    opened.append(path);
    return true;
  }

  Choice onOffer = Choice::remindLater;
  Choice onDownloaded = Choice::remindLater;
  QStringList upToDate, checkFailures, failures, opened;
  std::vector<std::pair<QString, bool>> offers;  // version, downloaded
};

}  // namespace mixelot::testsupport
