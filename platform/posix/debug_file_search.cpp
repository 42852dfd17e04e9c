#include "platform/posix/debug_file_search.h"

#include <elfutils/libdwelf.h>
#include <fcntl.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>

namespace quillmark::platform::posix {

namespace {

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string file_name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joined(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// Under an absolute root: the module's folder in full, then without its leading folders one at
// a time, and at last the root itself.
void add_under_root(const std::string& root, const std::string& module_folder,
                    const std::string& name, std::vector<std::string>& candidates) {
  std::string rest = module_folder;
  while (!rest.empty()) {
    while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
    if (rest.empty()) break;
    candidates.push_back(joined(joined(root, rest), name));
    const std::size_t slash = rest.find('/');
    rest = slash == std::string::npos ? std::string() : rest.substr(slash);
  }
  candidates.push_back(joined(root, name));
}

// The CRC-32 the debug link records (the one of zlib and of the ELF tools).
std::uint32_t file_crc(int fd) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> entries{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t value = i;
      for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ ((value & 1) ? 0xEDB88320u : 0);
      entries[i] = value;
    }
    return entries;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  unsigned char buffer[16384];
  off_t offset = 0;
  for (ssize_t read = 0; (read = pread(fd, buffer, sizeof buffer, offset)) > 0; offset += read) {
    for (ssize_t i = 0; i < read; ++i) crc = table[(crc ^ buffer[i]) & 0xFF] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFu;
}

bool build_id_matches(int fd, const void* expected, int expected_size) {
  Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
  if (elf == nullptr) return false;
  const void* found = nullptr;
  const ssize_t size = dwelf_elf_gnu_build_id(elf, &found);
  const bool same = size == expected_size && std::memcmp(found, expected, size) == 0;
  elf_end(elf);
  return same;
}

// Where a debug file with this build id lies under a search folder.
std::string build_id_path(const std::string& id_hex) {
  return ".build-id/" + id_hex.substr(0, 2) + "/" + id_hex.substr(2) + ".debug";
}

}  // namespace

std::string hex_of(const unsigned char* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

std::vector<std::string> supplementary_file_candidates(const DebugFileSearch& search,
                                                       const std::string& holder_path,
                                                       const std::string& link,
                                                       const std::string& id_hex) {
  std::vector<std::string> candidates;
  if (link.empty()) return candidates;
  candidates.push_back(link.front() == '/' ? link : joined(folder_of(holder_path), link));
  static const char kDwz[] = "/.dwz/";
  const std::size_t dwz = link.find(kDwz);
  for (const std::string& folder : search.folders) {
    if (folder.empty() || folder.front() != '/') continue;
    if (id_hex.size() > 2) candidates.push_back(joined(folder, build_id_path(id_hex)));
    if (dwz != std::string::npos) candidates.push_back(joined(folder, link.substr(dwz + 1)));
  }
  return candidates;
}

std::vector<std::string> debug_file_candidates(const DebugFileSearch& search,
                                               const std::string& file_name,
                                               const std::string& debug_link,
                                               const std::string& build_id_hex) {
  std::vector<std::string> candidates;
  if (build_id_hex.size() > 2) {
    const std::string tail = build_id_path(build_id_hex);
    for (const std::string& folder : search.folders) {
      if (!folder.empty() && folder.front() == '/') candidates.push_back(joined(folder, tail));
    }
  }
  const std::string name = !debug_link.empty() ? debug_link : file_name_of(file_name) + ".debug";
  const std::string module_folder = folder_of(file_name);
  for (const std::string& folder : search.folders) {
    if (folder.empty()) {
      candidates.push_back(joined(module_folder, name));
    } else if (folder.front() == '/') {
      // A relative module path cannot be placed under a root.
      if (module_folder.front() == '/') add_under_root(folder, module_folder, name, candidates);
    } else {
      candidates.push_back(joined(joined(module_folder, folder), name));
    }
  }
  return candidates;
}

int open_regular_file(const char* path) {
  struct stat status;
  if (stat(path, &status) != 0) return -1;
  if (!S_ISREG(status.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  // Non-blocking in case the name was replaced by something else since the check.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int find_debug_file(Dwfl_Module* module, void** user_data, const char*, Dwarf_Addr,
                    const char* file_name, const char* debug_link, GElf_Word debug_link_crc,
                    char** debug_file_name) {
  const auto* search = static_cast<const DebugFileSearch*>(*user_data);
  if (search == nullptr || file_name == nullptr) return -1;
  const unsigned char* build_id = nullptr;
  GElf_Addr build_id_address = 0;
  const int build_id_size = dwfl_module_build_id(module, &build_id, &build_id_address);
  const std::string build_id_hex =
      build_id_size > 0 ? hex_of(build_id, static_cast<std::size_t>(build_id_size)) : "";
  elf_version(EV_CURRENT);
  for (const std::string& candidate : debug_file_candidates(
           *search, file_name, debug_link != nullptr ? debug_link : "", build_id_hex)) {
    const int fd = open_regular_file(candidate.c_str());
    if (fd < 0) continue;
    const bool taken = build_id_size > 0 ? build_id_matches(fd, build_id, build_id_size)
                                         : debug_link == nullptr || file_crc(fd) == debug_link_crc;
    if (taken && std::strcmp(candidate.c_str(), file_name) != 0) {
      *debug_file_name = strdup(candidate.c_str());
      return fd;
    }
    close(fd);
  }
  return -1;
}

}  // namespace quillmark::platform::posix
