#include "update/Appcast.h"

#include <QXmlStreamReader>

#include "update/VersionComparison.h"

namespace mixelot {
namespace {

// Longer fields are not from our release script. An item holding one is left out whole: a cut
// version, address or signature would be another one.
constexpr qsizetype kMaxFieldLength = 1024;
constexpr qsizetype kMaxNotesLength = 64 * 1024;

bool fits(const AppcastItem& item) {
  for (const QString* field : {&item.title, &item.version, &item.shortVersion})
    if (field->size() > kMaxFieldLength) return false;
  return item.releaseNotes.size() <= kMaxNotesLength &&
         item.enclosureUrl.toEncoded().size() <= kMaxFieldLength &&
         item.edSignature.size() <= kMaxFieldLength;
}

void readEnclosure(const QXmlStreamAttributes& attributes, AppcastItem& item) {
  item.enclosureUrl =
      QUrl(attributes.value(QLatin1String("url")).toString().trimmed(), QUrl::StrictMode);
  bool ok = false;
  qint64 length = attributes.value(QLatin1String("length")).toLongLong(&ok);
  item.enclosureLength = ok && length >= 0 ? length : -1;
  item.edSignature =
      attributes.value(QLatin1String(Appcast::kNamespace), QLatin1String("edSignature"))
          .toLatin1()
          .trimmed();
  // The version may sit on the enclosure instead of the item.
  if (item.version.isEmpty())
    item.version = attributes.value(QLatin1String(Appcast::kNamespace), QLatin1String("version"))
                       .toString()
                       .trimmed();
  if (item.shortVersion.isEmpty())
    item.shortVersion =
        attributes.value(QLatin1String(Appcast::kNamespace), QLatin1String("shortVersionString"))
            .toString()
            .trimmed();
}

AppcastItem readItem(QXmlStreamReader& xml) {
  AppcastItem item;
  while (xml.readNextStartElement()) {
    const bool ours = xml.namespaceUri() == QLatin1String(Appcast::kNamespace);
    const bool plain = xml.namespaceUri().isEmpty();
    const QStringView name = xml.name();
    if (plain && name == u"title") {
      item.title = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
    } else if (plain && name == u"description") {
      item.releaseNotes = xml.readElementText(QXmlStreamReader::IncludeChildElements);
    } else if (plain && name == u"pubDate") {
      QString text = xml.readElementText().trimmed();
      item.publicationDate = QDateTime::fromString(text, Qt::RFC2822Date);
    } else if (plain && name == u"enclosure") {
      readEnclosure(xml.attributes(), item);
      xml.skipCurrentElement();
    } else if (ours && name == u"version") {
      item.version = xml.readElementText().trimmed();
    } else if (ours && name == u"shortVersionString") {
      item.shortVersion = xml.readElementText().trimmed();
    } else {
      xml.skipCurrentElement();
    }
  }
  return item;
}

}  // namespace

std::optional<std::vector<AppcastItem>> Appcast::parse(const QByteArray& document) {
  std::vector<AppcastItem> items;
  QXmlStreamReader xml(document);
  while (!xml.atEnd() && items.size() < kMaxItems) {
    if (xml.readNext() == QXmlStreamReader::DTD) return std::nullopt;
    if (xml.isStartElement() && xml.name() == u"item" && xml.namespaceUri().isEmpty()) {
      AppcastItem item = readItem(xml);
      if (xml.hasError()) break;
      if (!item.version.isEmpty() && item.enclosureUrl.isValid() && fits(item))
        items.push_back(item);
    }
  }
  return items;
}

std::optional<AppcastItem> Appcast::bestUpdate(const std::vector<AppcastItem>& items,
                                               const QString& currentVersion,
                                               const QString& skippedVersion) {
  const AppcastItem* best = nullptr;
  for (const AppcastItem& item : items) {
    if (compareVersions(item.version, currentVersion) <= 0) continue;
    if (!best || compareVersions(item.version, best->version) > 0) best = &item;
  }
  if (!best) return std::nullopt;
  // Skipping one version says nothing about a later one, which is offered again.
  if (!skippedVersion.isEmpty() && compareVersions(best->version, skippedVersion) <= 0)
    return std::nullopt;
  return *best;
}

}  // namespace mixelot
