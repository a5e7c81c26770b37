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

// A regular file of ours, mapped read-only; unmapped when it goes.
class MappedFile {
 public:
  explicit MappedFile(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
        status.st_size <= 0 || status.st_size > PackageVerifier::kMaxPackageSize)
      return;
    size_ = static_cast<size_t>(status.st_size);
    data_ = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
  }
  ~MappedFile() {
    if (data_ != MAP_FAILED) ::munmap(data_, size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool isMapped() const { return data_ != MAP_FAILED; }
  QByteArrayView bytes() const {
    return {static_cast<const char*>(data_), static_cast<qsizetype>(size_)};
  }

 private:
  void* data_ = MAP_FAILED;
  size_t size_ = 0;
};

}  // namespace

QString PackageVerifier::check(int fd, const AppcastItem& item) const {
  const MappedFile file(fd);
  if (!file.isMapped()) return tr("The update could not be read back.");
  if (file.bytes().size() != item.enclosureLength)
    return tr("The update is not the size the update feed says.");
  if (!verifyEd25519(publicKey_, item.edSignature, file.bytes()))
    return tr("The update's signature is not valid; the download was deleted.");
  auto package = DebianPackage::read(file.bytes());
  if (!package) return tr("The update is not a package this program can install.");
  if (package->name != u"mixelot" || package->version != item.version ||
      compareVersions(package->version, runningVersion_) <= 0)
    return tr("The update is not the release the update feed announced; it was deleted.");
  return {};
}

bool PackageVerifier::isNewerPackage(int fd) const {
  const MappedFile file(fd);
  auto package = file.isMapped() ? DebianPackage::read(file.bytes()) : std::nullopt;
  return package && package->name == u"mixelot" &&
         compareVersions(package->version, runningVersion_) > 0;
}

QString PackageVerifier::checkFile(const QString& path, const AppcastItem& item) const {
  int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return tr("The update could not be read back.");
  QString refusal = check(fd, item);
  ::close(fd);
  return refusal;
}

}  // namespace mixelot
