#pragma once

#include <QObject>
#include <QString>

namespace mixelot {

// What the About tab says of the program: its version and addresses, set at build time.
class AboutInfo final : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString version READ version CONSTANT)
  Q_PROPERTY(QString websiteUrl READ websiteUrl CONSTANT)
  Q_PROPERTY(QString makerUrl READ makerUrl CONSTANT)
  Q_PROPERTY(QString contactEmail READ contactEmail CONSTANT)

 public:
  // Shown when the build carries no version.
  static constexpr const char* kFallbackVersion = "1.0";

  explicit AboutInfo(QObject* parent = nullptr);
  AboutInfo(const QString& version, QObject* parent = nullptr);

  QString version() const { return version_; }
  QString websiteUrl() const;
  QString makerUrl() const;
  QString contactEmail() const;

 private:
  QString version_;
};

}  // namespace mixelot
