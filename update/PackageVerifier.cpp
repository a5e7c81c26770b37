#include "update/PackageVerifier.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>

#include "update/DebianPackage.h"
#include "update/Ed25519.h"
#include "update/VersionComparison.h"

namespace mixelot {
namespace {

QString tr(const char* text) {
  return QCoreApplication::translate("PackageVerifier", text);
}

}  // namespace

QString PackageVerifier::check(int fd, const AppcastItem& item) const {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid())
    return tr("The update could not be read back.");
  if (status.st_size != item.enclosureLength || status.st_size <= 0 ||
      status.st_size > kMaxPackageSize)
    return tr("The update is not the size the update feed says.");
  const auto size = static_cast<size_t>(status.st_size);
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (mapped == MAP_FAILED) return tr("The update could not be read back.");
  const QByteArrayView bytes(static_cast<const char*>(mapped), static_cast<qsizetype>(size));
  QString refusal;
  if (!verifyEd25519(publicKey_, item.edSignature, bytes)) {
    refusal = tr("The update's signature is not valid; the download was deleted.");
  } else if (auto package = DebianPackage::read(bytes); !package) {
    refusal = tr("The update is not a package this program can install.");
  } else if (package->name != u"mixelot" || package->version != item.version ||
             compareVersions(package->version, runningVersion_) <= 0) {
    refusal = tr("The update is not the release the update feed announced; it was deleted.");
  }
  ::munmap(mapped, size);
  return refusal;
}

QString PackageVerifier::checkFile(const QString& path, const AppcastItem& item) const {
  int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return tr("The update could not be read back.");
  QString refusal = check(fd, item);
  ::close(fd);
  return refusal;
}

}  // namespace mixelot
