#include "update/WidgetUserDriver.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QUrl>

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

void WidgetUserDriver::showDownloadFailed(const QString& message) {
  showMessage(QMessageBox::Warning, QObject::tr("Update Error"), message);
}

bool WidgetUserDriver::openWithPackageInstaller(const QString& path) {
  // The desktop's handler for the package type (its software centre or package installer)
  // opens it; we never run it ourselves.
  if (!haveWidgets()) return false;
  return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

}  // namespace mixelot
