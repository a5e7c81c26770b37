#pragma once

#include <QObject>
#include <QUrl>
#include <memory>

class QQmlEngine;

namespace mixelot {

class AppDelegate;
class PanelWindow;
class StatusItem;
struct InterfaceHooks;

// The tray icon and the mixer panel, the part of the delegate's launch that the user sees first:
// fills the interface hooks setupStatusItem, setupPopover, updateStatusIcon and togglePanel.
//
//   TrayShell tray(engine, url);
//   tray.install(hooks);          // before the delegate is made with the hooks
//   tray.attach(delegate);        // before the launch runs them
class TrayShell final : public QObject {
  Q_OBJECT

 public:
  // A notch of the wheel on the tray icon moves the output's volume this much.
  static constexpr float kScrollStep = 0.05f;

  TrayShell(QQmlEngine& engine, QUrl mixerView, QObject* parent = nullptr);
  ~TrayShell() override;

  void install(InterfaceHooks& hooks);
  void attach(AppDelegate& delegate);

  StatusItem* statusItem() const { return statusItem_.get(); }
  PanelWindow* panel() const { return panel_.get(); }

 signals:
  // The panel came on screen: on this desktop, the moment the program becomes active.
  void panelShown();

 private:
  void setupStatusItem();
  void setupPopover();
  void updateStatusIcon();
  bool togglePanel();
  void changeSystemVolume(int steps);
  void quit();

  QQmlEngine& engine_;
  QUrl mixerView_;
  AppDelegate* delegate_ = nullptr;
  std::unique_ptr<StatusItem> statusItem_;
  std::unique_ptr<PanelWindow> panel_;
};

}  // namespace mixelot
