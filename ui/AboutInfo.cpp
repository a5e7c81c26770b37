#include "ui/AboutInfo.h"

#include "BuildInfo.h"

namespace mixelot {

AboutInfo::AboutInfo(QObject* parent) : AboutInfo(QString::fromUtf8(buildinfo::kVersion), parent) {}

AboutInfo::AboutInfo(const QString& version, QObject* parent)
    : QObject(parent),
      version_(version.trimmed().isEmpty() ? QString::fromLatin1(kFallbackVersion) : version) {}

QString AboutInfo::websiteUrl() const {
  return QString::fromUtf8(buildinfo::kWebsiteUrl);
}

QString AboutInfo::makerUrl() const {
  return QString::fromUtf8(buildinfo::kMakerUrl);
}

QString AboutInfo::contactEmail() const {
  return QString::fromUtf8(buildinfo::kContactEmail);
}

}  // namespace mixelot
