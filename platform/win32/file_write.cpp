#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/file_write.h"

namespace quillmark::platform {
namespace {

std::wstring wide_of(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                        length);
  }
  return wide;
}

constexpr std::size_t kPiece = 64 * 1024;
FileWriteObserver g_observer = nullptr;

bool write_all(HANDLE file, const std::string& content) {
  std::size_t written = 0;
  while (written < content.size()) {
    const DWORD piece = static_cast<DWORD>(std::min(content.size() - written, kPiece));
    DWORD done = 0;
    if (!WriteFile(file, content.data() + written, piece, &done, nullptr) || done == 0) {
      return false;
    }
    written += done;
    if (g_observer != nullptr) g_observer(written);
  }
  return true;
}

}  // namespace

void set_file_write_observer_for_testing(FileWriteObserver observer) { g_observer = observer; }

bool write_file_replacing(const std::string& path, const std::string& content) {
  const std::wstring target = wide_of(path);
  const std::wstring temporary = target + L".tmp";
  if (target.empty()) return false;
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool written = write_all(file, content) && FlushFileBuffers(file);
  const bool closed = CloseHandle(file) != 0;
  if (written && closed &&
      MoveFileExW(temporary.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileW(temporary.c_str());
  return false;
}

}  // namespace quillmark::platform
