// Qt Quick Test of the panel's views, offscreen, on the program over the simulated audio layer.
#include <QQmlContext>
#include <QQmlEngine>
#include <QtQuickTest>
#include <memory>

#include "ui/QmlUrls.h"
#include "views/ViewWorld.h"

class Setup : public QObject {
  Q_OBJECT

 public slots:
  void qmlEngineAvailable(QQmlEngine* engine) {
    engine->addImportPath(mixelot::qml::kImportPath);
    world_ = std::make_unique<mixelot::testsupport::ViewWorld>();
    engine->rootContext()->setContextProperty(QStringLiteral("world"), world_.get());
  }
  void cleanupTestCase() { world_.reset(); }

 private:
  std::unique_ptr<mixelot::testsupport::ViewWorld> world_;
};

QUICK_TEST_MAIN_WITH_SETUP(views, Setup)
#include "ViewsTest.moc"
