#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/file_write.h"

namespace quillmark::platform {
namespace {

constexpr std::size_t kPiece = 64 * 1024;
FileWriteObserver g_observer = nullptr;

bool write_all(int fd, const std::string& content) {
  std::size_t written = 0;
  while (written < content.size()) {
    const std::size_t piece = std::min(content.size() - written, kPiece);
    const ssize_t result = ::write(fd, content.data() + written, piece);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) return false;
    written += static_cast<std::size_t>(result);
    if (g_observer != nullptr) g_observer(written);
  }
  return true;
}

}  // namespace

void set_file_write_observer_for_testing(FileWriteObserver observer) { g_observer = observer; }

bool write_file_replacing(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // On disk before the rename, so that a crash of the machine leaves no empty file either.
  const bool written = write_all(fd, content) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (written && closed && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

}  // namespace quillmark::platform
