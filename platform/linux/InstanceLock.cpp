#include "platform/linux/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace mixelot {

InstanceLock::InstanceLock(std::string path) : path_(std::move(path)) {
  auto open = [this] {
    return ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  };
  fd_ = open();
  if (fd_ < 0 && errno == ENOENT) {
    // The fallback folder (our configuration folder) may not exist before the first run.
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
    fd_ = open();
  }
  if (fd_ < 0) {
    error_ = "cannot open " + path_ + ": " + std::strerror(errno);
    return;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
    state_ = State::kHeld;
    std::string pid = std::to_string(::getpid()) + "\n";
    // Only informative: a failure here leaves the lock held all the same.
    if (::ftruncate(fd_, 0) == 0) {
      [[maybe_unused]] ssize_t written = ::pwrite(fd_, pid.data(), pid.size(), 0);
    }
    return;
  }
  int error = errno;
  if (error == EWOULDBLOCK) {
    state_ = State::kHeldElsewhere;
    char text[32] = {};
    ssize_t length = ::pread(fd_, text, sizeof text - 1, 0);
    if (length > 0) std::from_chars(text, text + length, holder_);
  } else {
    error_ = "cannot lock " + path_ + ": " + std::strerror(error);
  }
  ::close(fd_);
  fd_ = -1;
}

InstanceLock::~InstanceLock() {
  // Closing drops the lock; the file stays, so no second instance can race on its creation.
  if (fd_ >= 0) ::close(fd_);
}

std::string InstanceLock::defaultPath(const std::string& name, const std::string& fallbackFolder) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string folder = runtime && runtime[0] == '/' ? runtime : fallbackFolder;
  return folder + "/" + name + ".lock";
}

}  // namespace mixelot
