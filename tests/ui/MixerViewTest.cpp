// The panel view as its host loads it: from the resources by URL, on a real view model.
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QtTest>

#include "AppWorld.h"
#include "ui/MixerViewModel.h"
#include "ui/QmlUrls.h"

using namespace mixelot;

class MixerViewTest : public QObject {
  Q_OBJECT

 private slots:
  void theHostLoadsThePanelByUrl() {
    testsupport::AppWorld world;
    auto delegate = world.launch();
    MixerViewModel* mixer = delegate->mixerViewModel();

    QQmlEngine engine;
    QQmlComponent component(&engine, qml::kMixerView);
    QVERIFY2(component.isReady(), qPrintable(component.errorString()));
    std::unique_ptr<QObject> view(component.createWithInitialProperties(
        {{QStringLiteral("viewModel"), QVariant::fromValue<QObject*>(mixer)}}));
    QVERIFY(view);
    auto* item = qobject_cast<QQuickItem*>(view.get());
    QCOMPARE(item->width(), 320.0);
    QVERIFY(item->implicitHeight() > 0);
  }

  void everySymbolTheViewsNameIsBundled() {
    for (const char* name :
         {"speaker.wave.2.fill", "speaker.slash.fill", "speaker.slash", "arrow.triangle.branch",
          "gearshape", "power", "waveform", "headphones", "airpods", "tv", "hifispeaker",
          "desktopcomputer", "laptopcomputer", "cable.connector", "airplayaudio", "app.fill",
          "chevron.down", "checkmark.circle.fill", "circle"}) {
      QUrl url = qml::symbolIcon(QString::fromLatin1(name));
      QVERIFY2(QFile::exists(QStringLiteral(":") + url.path()), name);
    }
  }
};

QTEST_MAIN(MixerViewTest)
#include "MixerViewTest.moc"
