#include "update/WidgetUserDriver.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

#include "BuildInfo.h"
#include "update/UpdateWindow.h"

namespace mixelot {
namespace {

bool haveWidgets() {
  return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

void showMessage(QMessageBox::Icon icon, const QString& title, const QString& message,
                 const QString& informativeText) {
  if (!haveWidgets()) return;
  auto* box = new QMessageBox(icon, title, message, QMessageBox::Ok);
  box->setInformativeText(informativeText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  box->open();
}

}  // namespace

void WidgetUserDriver::showUpToDate(const QString& message, const QString& informativeText) {
  showMessage(QMessageBox::Information, QCoreApplication::applicationName(), message,
              informativeText);
}

void WidgetUserDriver::showCheckFailed(const QString& message, const QString& informativeText) {
  showMessage(QMessageBox::Warning, QCoreApplication::applicationName(), message, informativeText);
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

void WidgetUserDriver::showDownloadFailed(const QString& message) {
  showMessage(QMessageBox::Warning, QCoreApplication::applicationName(),
              QObject::tr("Update Error"), message);
}

bool WidgetUserDriver::openWithPackageInstaller(const QString& path) {
  // The desktop's handler for the package type (its software centre or package installer)
  // opens it; we never run it ourselves.
  if (!haveWidgets()) return false;
  return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

}  // namespace mixelot
