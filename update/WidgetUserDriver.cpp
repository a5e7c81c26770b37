#include "update/WidgetUserDriver.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <algorithm>
#include <utility>

#include "BuildInfo.h"
#include "update/UpdateWindow.h"

namespace mixelot {
namespace {

bool haveWidgets() {
  return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

void showMessage(QMessageBox::Icon icon, const QString& message, const QString& informativeText) {
  if (!haveWidgets()) return;
  QMessageBox* box = WidgetUserDriver::messageBox(icon, message, informativeText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  box->open();
}

}  // namespace

QMessageBox* WidgetUserDriver::messageBox(QMessageBox::Icon icon, const QString& message,
                                          const QString& informativeText) {
  auto* box = new QMessageBox(icon, QCoreApplication::applicationName(), message, QMessageBox::Ok);
  box->setInformativeText(informativeText);
  // The texts may carry a server's words: shown as they are, never as markup or links.
  box->setTextFormat(Qt::PlainText);
  for (QLabel* label : box->findChildren<QLabel*>()) {
    label->setTextFormat(Qt::PlainText);
    label->setOpenExternalLinks(false);
  }
  return box;
}

void WidgetUserDriver::showUpToDate(const QString& message, const QString& informativeText) {
  showMessage(QMessageBox::Information, message, informativeText);
}

void WidgetUserDriver::showCheckFailed(const QString& message, const QString& informativeText) {
  showMessage(QMessageBox::Warning, message, informativeText);
}

void WidgetUserDriver::showUpdateFound(const AppcastItem& item, bool downloaded,
                                       std::function<void(Choice)> reply) {
  if (!haveWidgets()) return reply(Choice::remindLater);
  auto* window = new UpdateWindow(item, QString::fromLatin1(buildinfo::kVersion), downloaded,
                                  std::move(reply));
  window->show();
  window->raise();
  window->activateWindow();
}

void WidgetUserDriver::showDownloadProgress(qint64 received, qint64 total,
                                            std::function<void()> cancel) {
  if (!haveWidgets()) return;
  cancel_ = std::move(cancel);
  if (!progress_) {
    progress_ =
        new QProgressDialog(QObject::tr("Downloading the update…"), QObject::tr("Cancel"), 0, 1000);
    progress_->setWindowTitle(QCoreApplication::applicationName());
    progress_->setAttribute(Qt::WA_DeleteOnClose);
    progress_->setMinimumDuration(0);
    progress_->setAutoClose(false);
    progress_->setAutoReset(false);
    QObject::connect(progress_, &QProgressDialog::canceled, progress_, [this] {
      if (auto cancel = std::exchange(cancel_, nullptr)) cancel();
    });
  }
  progress_->setValue(total > 0 ? static_cast<int>(std::min<qint64>(received, total) * 1000 / total)
                                : 0);
}

void WidgetUserDriver::hideDownloadProgress() {
  cancel_ = nullptr;
  if (progress_) progress_->close();
}

void WidgetUserDriver::showDownloadFailed(const QString& message) {
  showMessage(QMessageBox::Warning, QObject::tr("Update Error"), message);
}

void WidgetUserDriver::showPackageLocation(const QString& path, bool opened) {
  if (!haveWidgets()) return;
  QMessageBox* box = messageBox(
      opened ? QMessageBox::Information : QMessageBox::Warning,
      opened ? QObject::tr("The update was handed to your package installer.")
             : QObject::tr("No package installer could open the update."),
      QObject::tr("If no installer shows up, open the package yourself. It is at:\n%1").arg(path));
  auto* open = box->addButton(QObject::tr("Open Folder"), QMessageBox::ActionRole);
  const QUrl folder = QUrl::fromLocalFile(QFileInfo(path).absolutePath());
  QObject::connect(open, &QPushButton::clicked, box,
                   [folder] { QDesktopServices::openUrl(folder); });
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

bool WidgetUserDriver::openWithPackageInstaller(const QString& path) {
  // The desktop's handler for the package type (its software centre or package installer)
  // opens it; we never run it ourselves.
  if (!haveWidgets()) return false;
  return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

}  // namespace mixelot
