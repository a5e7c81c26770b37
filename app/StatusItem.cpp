#include "app/StatusItem.h"

#include <QCursor>
#include <QFile>
#include <QGuiApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPalette>

#include "app/DBusMenu.h"
#include "app/StatusNotifierItem.h"

namespace mixelot {
namespace {

constexpr const char* kOpenMixer = "Open Mixer";
constexpr const char* kMuteAll = "Mute All";
constexpr const char* kRestore = "Restore";
constexpr const char* kSettings = "Settings…";
constexpr const char* kQuit = "Quit Mixelot";
// The tooltip's line under the title: the default output and its volume.
constexpr const char* kOutputLine = "%1: %2 %";

// A bundled symbol that answers to a theme name. A StatusNotifierItem host draws the named icon
// of its own theme (in its own colours, at its own size) and falls back to the pixels we send;
// an XEmbed tray and the menu get the pixels. The glyphs are drawn in black, so the pixels take
// the palette's text colour, which is what the tray around them uses in the common case.
class SymbolIconEngine final : public QIconEngine {
 public:
  SymbolIconEngine(QString symbol, QString themeName)
      : symbol_(std::move(symbol)), themeName_(std::move(themeName)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    QPixmap image = pixmap(rect.size() * ratio, mode, state);
    image.setDevicePixelRatio(ratio);
    painter->drawPixmap(rect.topLeft(), image);
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    const QString path = QStringLiteral(":/icons/") + symbol_ + QStringLiteral(".svg");
    QPixmap glyph;
    if (QFile::exists(path)) glyph = QIcon(path).pixmap(size, mode, state);
    if (glyph.isNull()) return QIcon::fromTheme(themeName_).pixmap(size, mode, state);
    QPainter painter(&glyph);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    const QPalette::ColorGroup group =
        mode == QIcon::Disabled ? QPalette::Disabled : QPalette::Active;
    painter.fillRect(glyph.rect(), QGuiApplication::palette().color(group, QPalette::WindowText));
    return glyph;
  }

  QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
    return {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};
  }
  QIconEngine* clone() const override { return new SymbolIconEngine(symbol_, themeName_); }
  QString iconName() override { return themeName_; }
  QString key() const override { return QStringLiteral("mixelot-symbol"); }

 private:
  QString symbol_;
  QString themeName_;
};

QIcon symbolIcon(const char* symbol, const char* themeName) {
  return QIcon(new SymbolIconEngine(QString::fromUtf8(symbol), QString::fromUtf8(themeName)));
}

}  // namespace

StatusItem::StatusItem(QObject* parent) : QObject(parent) {
  connect(menu_.addAction(QString::fromUtf8(kOpenMixer)), &QAction::triggered, this,
          &StatusItem::openMixerRequested);
  muteAction_ = menu_.addAction(QString::fromUtf8(kMuteAll));
  connect(muteAction_, &QAction::triggered, this, &StatusItem::muteAllRequested);
  connect(menu_.addAction(QString::fromUtf8(kSettings)), &QAction::triggered, this,
          &StatusItem::settingsRequested);
  menu_.addSeparator();
  connect(menu_.addAction(QString::fromUtf8(kQuit)), &QAction::triggered, this,
          &StatusItem::quitRequested);
  connect(&menu_, &QMenu::aboutToShow, this, &StatusItem::menuAboutToShow);

  if (StatusNotifierItem::watcherAvailable()) {
    sni_ = std::make_unique<StatusNotifierItem>(menu_);
    connect(sni_.get(), &StatusNotifierItem::activated, this, [this](QPoint position) {
      clickedAt_ = position;
      emit clicked();
    });
    connect(sni_.get(), &StatusNotifierItem::secondaryActivated, this,
            &StatusItem::muteAllRequested);
    connect(sni_.get(), &StatusNotifierItem::scrolled, this, &StatusItem::scrolled);
    sni_->dbusMenu().onAboutToShow = [this] { emit menuAboutToShow(); };
  } else {
    tray_ = std::make_unique<QSystemTrayIcon>();
    tray_->setContextMenu(&menu_);
    connect(tray_.get(), &QSystemTrayIcon::activated, this, &StatusItem::onActivated);
  }
  updateIcon();
  if (tray_) tray_->show();
}

StatusItem::~StatusItem() {
  // The tray icon refers to the menu; it goes first.
  sni_.reset();
  if (tray_) {
    tray_->hide();
    tray_->setContextMenu(nullptr);
  }
}

void StatusItem::setMuted(bool muted, bool outputMuted) {
  muteAction_->setText(QString::fromUtf8(outputMuted ? kRestore : kMuteAll));
  if (muted == muted_) return;
  muted_ = muted;
  updateIcon();
}

void StatusItem::setOutput(const QString& deviceName, float volume) {
  if (deviceName == deviceName_ && volume == volume_) return;
  deviceName_ = deviceName;
  volume_ = volume;
  updateIcon();
}

void StatusItem::updateIcon() {
  const char* symbol = kSymbol;
  const char* themeName = kThemeName;
  if (muted_) {
    symbol = kMutedSymbol;
    themeName = kMutedThemeName;
  } else if (volume_ >= 0 && volume_ <= 1.0f / 3) {
    symbol = kLowSymbol;
    themeName = kLowThemeName;
  } else if (volume_ >= 0 && volume_ <= 2.0f / 3) {
    symbol = kMediumSymbol;
    themeName = kMediumThemeName;
  }
  const QString name = QString::fromUtf8(themeName);
  if (name != iconName_ || icon_.isNull()) {
    iconName_ = name;
    icon_ = symbolIcon(symbol, themeName);
    if (tray_) tray_->setIcon(icon_);
    if (sni_) sni_->setIcon(name, icon_);
  }
  // A tray has no accessible description of its own; hosts read the tooltip (and show it on
  // hover), so that is where it goes.
  if (tray_) {
    const QString text = toolTipText();
    tray_->setToolTip(text.isEmpty() ? title() : title() + QLatin1Char('\n') + text);
  }
  if (sni_) {
    sni_->setToolTip(title(), toolTipText());
    sni_->setNeedsAttention(muted_);
  }
}

QString StatusItem::toolTipText() const {
  if (deviceName_.isEmpty()) return {};
  if (volume_ < 0) return deviceName_;
  return QString::fromUtf8(kOutputLine).arg(deviceName_).arg(qRound(volume_ * 100));
}

QString StatusItem::title() const {
  return QString::fromUtf8(muted_ ? kMutedTitle : kTitle);
}

QRect StatusItem::anchor() const {
  if (tray_) {
    const QRect geometry = tray_->geometry();
    if (geometry.isValid() && !geometry.isEmpty()) return geometry;
  }
  if (!clickedAt_.isNull()) return QRect(clickedAt_, QSize(1, 1));
  return QRect(QCursor::pos(), QSize(1, 1));
}

void StatusItem::onActivated(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      emit clicked();
      break;
    case QSystemTrayIcon::MiddleClick:
      emit muteAllRequested();
      break;
    default:
      // Context: the tray shows the menu itself. DoubleClick follows a Trigger that toggled
      // already; acting again would undo it.
      break;
  }
}

}  // namespace mixelot
