// Qt Quick Test of the panel's views, offscreen, on the program over the simulated audio layer.
#include <QQmlContext>
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QtQuickTest>
#include <memory>

#include "ui/QmlUrls.h"
#include "views/ViewWorld.h"

namespace {

// The platform plugin asks for the runtime folder before any hook of ours runs; a bare CI shell
// has none, and warnings are fatal here.
struct RuntimeFolder {
  QTemporaryDir folder;
  RuntimeFolder() {
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
      qputenv("XDG_RUNTIME_DIR", folder.path().toUtf8());
  }
} runtimeFolder;

}  // namespace

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
