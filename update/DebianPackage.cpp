#include "update/DebianPackage.h"

#include <archive.h>
#include <archive_entry.h>

#include <QByteArray>
#include <QList>
#include <memory>

namespace mixelot {
namespace {

// The control member and its control file are a few kilobytes; more is not a package of ours.
constexpr la_int64_t kMaxControlArchive = 1024 * 1024;
constexpr la_int64_t kMaxControlFile = 64 * 1024;

using Archive = std::unique_ptr<struct archive, decltype(&archive_read_free)>;

// The member of `bytes` (an archive of the formats `setUp` enables) whose name `wanted` accepts.
template <typename SetUp, typename Wanted>
std::optional<QByteArray> member(QByteArrayView bytes, SetUp setUp, Wanted wanted,
                                 la_int64_t maxSize) {
  Archive archive(archive_read_new(), archive_read_free);
  if (!archive) return std::nullopt;
  setUp(archive.get());
  if (archive_read_open_memory(archive.get(), bytes.data(), static_cast<size_t>(bytes.size())) !=
      ARCHIVE_OK)
    return std::nullopt;
  struct archive_entry* entry = nullptr;
  while (archive_read_next_header(archive.get(), &entry) == ARCHIVE_OK) {
    const char* name = archive_entry_pathname(entry);
    if (!name || !wanted(QByteArrayView(name))) continue;
    la_int64_t size = archive_entry_size(entry);
    if (size < 0 || size > maxSize) return std::nullopt;
    QByteArray data(static_cast<qsizetype>(size), '\0');
    for (qsizetype done = 0; done < data.size();) {
      la_ssize_t read = archive_read_data(archive.get(), data.data() + done,
                                          static_cast<size_t>(data.size() - done));
      if (read <= 0) return std::nullopt;
      done += read;
    }
    return data;
  }
  return std::nullopt;
}

}  // namespace

std::optional<DebianPackage> DebianPackage::read(QByteArrayView deb) {
  auto control = member(
      deb, [](struct archive* a) { archive_read_support_format_ar(a); },
      [](QByteArrayView name) { return name.startsWith("control.tar"); }, kMaxControlArchive);
  if (!control) return std::nullopt;
  auto file = member(
      *control,
      [](struct archive* a) {
        archive_read_support_filter_all(a);
        archive_read_support_format_tar(a);
      },
      [](QByteArrayView name) { return name == "./control" || name == "control"; },
      kMaxControlFile);
  if (!file) return std::nullopt;

  // Fields are "Name: value" lines; continuation lines (starting with a blank) belong to
  // multi-line fields, which the two wanted here never are.
  DebianPackage package;
  for (const QByteArray& line : file->split('\n')) {
    qsizetype colon = line.indexOf(':');
    if (line.isEmpty() || line[0] == ' ' || line[0] == '\t' || colon < 0) continue;
    QByteArray field = line.left(colon).trimmed().toLower();
    QString value = QString::fromUtf8(line.mid(colon + 1).trimmed());
    if (field == "package") package.name = value;
    if (field == "version") package.version = value;
  }
  if (package.name.isEmpty() || package.version.isEmpty()) return std::nullopt;
  return package;
}

}  // namespace mixelot
