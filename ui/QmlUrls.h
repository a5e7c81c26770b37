#pragma once

#include <QUrl>

namespace mixelot::qml {

// Where the views of the "Mixelot" QML module live in the resources; hosts load them by URL.
inline const QUrl kMixerView{QStringLiteral("qrc:/qt/qml/Mixelot/MixerView.qml")};
inline const QUrl kSettingsView{QStringLiteral("qrc:/qt/qml/Mixelot/SettingsView.qml")};
inline const QUrl kOnboardingView{QStringLiteral("qrc:/qt/qml/Mixelot/OnboardingView.qml")};
inline const QUrl kOverlayView{QStringLiteral("qrc:/qt/qml/Mixelot/OverlayView.qml")};
// The import path under which `import Mixelot` finds the module.
inline const QString kImportPath{QStringLiteral("qrc:/qt/qml")};

// A symbol image of the bundled set, e.g. symbolIcon("speaker.wave.2.fill").
inline QUrl symbolIcon(const QString& name) {
  return QUrl(QStringLiteral("qrc:/icons/") + name + QStringLiteral(".svg"));
}

}  // namespace mixelot::qml
