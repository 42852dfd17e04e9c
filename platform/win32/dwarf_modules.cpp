#include "platform/win32/dwarf_modules.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <unordered_map>

#include "debuginfo/function_symbols.h"
#include "debuginfo/pe_image.h"

namespace quillmark::platform::win32 {

namespace {

// How many described addresses a module keeps: a frame asks about its address once per inlined
// call and once more for itself, and the same call sites recur in many stacks.
constexpr std::size_t kKeptAddresses = 4096;

// A read-only view of a whole file; the handles are closed once the view exists.
class FileView {
 public:
  bool map(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size = {};
    HANDLE mapping = nullptr;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
      mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    }
    CloseHandle(file);
    if (mapping == nullptr) return false;
    view_ = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);
    size_ = static_cast<std::size_t>(size.QuadPart);
    return view_ != nullptr;
  }
  ~FileView() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
  }
  const unsigned char* bytes() const { return static_cast<const unsigned char*>(view_); }
  std::size_t size() const { return size_; }

 private:
  void* view_ = nullptr;
  std::size_t size_ = 0;
};

// The fields module_identity.cpp reads from the headers of a mapped image, from the file's.
bool same_build(const debuginfo::PeImage& image, const ModuleIdentity& identity) {
  const DWORD fields[] = {image.time_stamp(), image.image_size(), image.checksum()};
  return identity.size == image.image_size() && identity.id_length == sizeof fields &&
         std::memcmp(identity.id, fields, sizeof fields) == 0;
}

}  // namespace

struct DwarfModules::Module {
  enum class State { kUnread, kDwarf, kNoDwarf };
  std::mutex reading;  // guards everything below but identity and path, which never change
  ModuleIdentity identity;
  std::wstring path;
  State state = State::kUnread;
  std::unique_ptr<FileView> file;  // while the module has DWARF
  debuginfo::PeImage image;
  std::vector<std::vector<unsigned char>> inflated;  // the sections the file holds compressed
  std::unique_ptr<debuginfo::DwarfResolver> resolver;
  std::vector<debuginfo::FunctionSymbol> symbols;                       // by address
  std::unordered_map<std::uint64_t, debuginfo::AddressInfo> described;  // by process address

  bool holds(std::uint64_t address) const {
    return address >= identity.base && address - identity.base < identity.size;
  }

  bool read() {
    state = State::kNoDwarf;
    file = std::make_unique<FileView>();
    const bool usable =
        file->map(path) && image.read(file->bytes(), file->size()) && same_build(image, identity);
    const debuginfo::DwarfSections sections =
        usable ? image.dwarf_sections(&inflated) : debuginfo::DwarfSections();
    if (sections.info.empty() || sections.abbrev.empty()) {
      image = debuginfo::PeImage();
      inflated.clear();
      file.reset();
      return false;
    }
    resolver = std::make_unique<debuginfo::DwarfResolver>(sections);
    symbols = image.function_symbols();
    state = State::kDwarf;
    return true;
  }

  // DWARF gives addresses as if the image lay at the base it was linked for.
  bool describe(std::uint64_t address, debuginfo::AddressInfo& info) {
    const auto found = described.find(address);
    if (found != described.end()) {
      info = found->second;
      return info.has_function || info.has_line;
    }
    const std::uint64_t linked = image.image_base();
    if (!resolver->describe(address - identity.base + linked, info)) info = {};
    debuginfo::name_by_symbol(symbols, address - identity.base + linked, info);
    info.function_start = info.function_start - linked + identity.base;
    info.line_address = info.line_address - linked + identity.base;
    if (described.size() >= kKeptAddresses) described.clear();
    described.emplace(address, info);
    return info.has_function || info.has_line;
  }
};

DwarfModules::DwarfModules() = default;

DwarfModules::~DwarfModules() = default;

void DwarfModules::note(void* process, const ModuleIdentity& identity, const wchar_t* path) {
  if (identity.base == 0 || identity.size == 0 || path == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto& module = modules_[{process, identity.base}];
  if (module != nullptr && same_module(module->identity, identity) && module->path == path) return;
  module = std::make_shared<Module>();
  module->identity = identity;
  module->path = path;
}

void DwarfModules::forget(void* process, std::uint64_t base) {
  std::lock_guard<std::mutex> lock(mutex_);
  modules_.erase({process, base});
}

void DwarfModules::forget_all(void* process) {
  std::lock_guard<std::mutex> lock(mutex_);
  modules_.erase(modules_.lower_bound({process, 0}),
                 modules_.upper_bound({process, ~std::uint64_t{0}}));
}

bool DwarfModules::describe(void* process, std::uint64_t address, debuginfo::AddressInfo& info) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::shared_ptr<Module> module = module_at(process, address);
  if (module == nullptr) return false;
  std::lock_guard<std::mutex> reading(module->reading);
  if (module->state == Module::State::kUnread) module->read();
  return module->state == Module::State::kDwarf && module->describe(address, info);
}

void DwarfModules::read_ahead(void* process, const std::uint64_t* addresses, std::uint32_t count) {
  std::vector<std::shared_ptr<Module>> unread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::shared_ptr<Module> module = module_at(process, addresses[i]);
      if (module != nullptr && std::find(unread.begin(), unread.end(), module) == unread.end()) {
        unread.push_back(std::move(module));
      }
    }
  }
  for (const std::shared_ptr<Module>& module : unread) {
    std::lock_guard<std::mutex> reading(module->reading);
    if (module->state == Module::State::kUnread) module->read();
  }
}

std::shared_ptr<DwarfModules::Module> DwarfModules::module_at(void* process,
                                                              std::uint64_t address) {
  auto next = modules_.upper_bound({process, address});
  if (next == modules_.begin()) return nullptr;
  const auto& [key, module] = *std::prev(next);
  return key.first == process && module->holds(address) ? module : nullptr;
}

}  // namespace quillmark::platform::win32
