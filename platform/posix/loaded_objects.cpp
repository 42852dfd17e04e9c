#include "platform/posix/loaded_objects.h"

#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/posix/wide_text.h"

namespace quillmark::platform::posix {

namespace {

struct ObjectList {
  std::vector<LoadedObject> objects;
  bool first = true;  // the loader reports the executable first
};

struct NoteText {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};

// The descriptor of the GNU build-id note among the notes of [notes, notes + size), if any.
NoteText build_id_in_notes(const unsigned char* notes, std::uint64_t size) {
  const auto aligned = [](std::uint64_t length) { return (length + 3) & ~std::uint64_t{3}; };
  std::uint64_t offset = 0;
  while (size - offset >= sizeof(ElfW(Nhdr))) {
    ElfW(Nhdr) header;
    std::memcpy(&header, notes + offset, sizeof header);
    offset += sizeof header;
    const std::uint64_t name_size = aligned(header.n_namesz);
    const std::uint64_t descriptor_size = aligned(header.n_descsz);
    if (name_size > size - offset || descriptor_size > size - offset - name_size) break;
    const char* name = reinterpret_cast<const char*>(notes + offset);
    if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == 4 &&
        std::memcmp(name, "GNU", 4) == 0) {
      return {notes + offset + name_size, header.n_descsz};
    }
    offset += name_size + descriptor_size;
  }
  return {};
}

// The build id from the object's note segments, which the loader maps with the image.
NoteText build_id_note(const dl_phdr_info& info) {
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info.dlpi_phdr[i];
    if (segment.p_type != PT_NOTE) continue;
    const NoteText id = build_id_in_notes(
        reinterpret_cast<const unsigned char*>(info.dlpi_addr + segment.p_vaddr), segment.p_memsz);
    if (id.size != 0) return id;
  }
  return {};
}

std::string build_id_in_memory(const dl_phdr_info& info) {
  const NoteText id = build_id_note(info);
  return std::string(reinterpret_cast<const char*>(id.data), id.size);
}

// The span of the object's loaded segments, [low, high) in link-time addresses; low >= high
// when it has none.
struct LoadSpan {
  std::uint64_t low = UINT64_MAX;
  std::uint64_t high = 0;
};

LoadSpan load_span(const dl_phdr_info& info) {
  LoadSpan span;
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info.dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    span.low =
        std::min<std::uint64_t>(span.low, segment.p_vaddr & ~(std::uint64_t{segment.p_align} - 1));
    span.high = std::max<std::uint64_t>(span.high, segment.p_vaddr + segment.p_memsz);
  }
  return span;
}

// The object as the loader reports it; false for the vDSO, objects without a name and objects
// without loaded segments.
bool describe_object(const dl_phdr_info& info, bool is_executable, LoadedObject& object) {
  const LoadSpan span = load_span(info);
  if (span.low >= span.high) return false;
  const std::uint64_t base = info.dlpi_addr + span.low;
  const bool is_vdso = base == getauxval(AT_SYSINFO_EHDR);
  if (is_vdso || (!is_executable && (info.dlpi_name == nullptr || *info.dlpi_name == '\0'))) {
    return false;
  }
  // The executable's path is read from /proc once (the loader's lock taken again here, by the
  // first call, is recursive).
  object = {is_executable ? executable().path : to_wide(info.dlpi_name), base, span.high - span.low,
            info.dlpi_addr};
  return true;
}

int collect_object(dl_phdr_info* info, std::size_t, void* context) {
  auto* list = static_cast<ObjectList*>(context);
  const bool is_executable = list->first;
  list->first = false;
  LoadedObject object;
  if (describe_object(*info, is_executable, object)) list->objects.push_back(std::move(object));
  return 0;
}

struct ImageQuery {
  std::uint64_t base;
  LoadedImage& image;
  bool first = true;
  bool found = false;
};

// Runs under the loader's lock, so the object cannot be unloaded while its notes are read.
int find_image(dl_phdr_info* info, std::size_t, void* context) {
  auto* query = static_cast<ImageQuery*>(context);
  const bool is_executable = query->first;
  query->first = false;
  if (!describe_object(*info, is_executable, query->image.object) ||
      query->image.object.base != query->base) {
    return 0;
  }
  query->image.build_id = build_id_in_memory(*info);
  query->found = true;
  return 1;
}

// The lookups below walk the loader's list with dl_iterate_phdr rather than asking dladdr:
// dladdr waits for the lock dlopen and dlclose hold while they run constructors and destructors,
// and a destructor of ours that joins a thread resolving a stack would then wait forever.
// dl_iterate_phdr takes only the lock that guards changes to the list itself.

struct AddressQuery {
  std::uint64_t address;
  void* base = nullptr;
};

bool holds_address(const dl_phdr_info& info, std::uint64_t address) {
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info.dlpi_phdr[i];
    if (segment.p_type == PT_LOAD &&
        address - (info.dlpi_addr + segment.p_vaddr) < segment.p_memsz) {
      return true;
    }
  }
  return false;
}

int find_holder(dl_phdr_info* info, std::size_t, void* context) {
  auto* query = static_cast<AddressQuery*>(context);
  if (!holds_address(*info, query->address)) return 0;
  query->base = reinterpret_cast<void*>(info->dlpi_addr + load_span(*info).low);
  return 1;
}

struct IdentityQuery {
  const std::uint64_t* addresses;
  std::uint32_t count;
  ModuleIdentity* out;
  std::uint32_t left;  // addresses not placed yet
  // The addresses' indexes in address order, for many addresses (the modules of the process at
  // the first resolution); null for few (the frames of a stack), which are all tried.
  const std::uint32_t* order;
};

// Places the address at `index` in the object when it holds it, the identity read once per
// object into `identity`.
void place_address(const dl_phdr_info& info, IdentityQuery& query, std::uint32_t index,
                   ModuleIdentity*& identity) {
  if (query.out[index].base != 0 || !holds_address(info, query.addresses[index])) return;
  if (identity == nullptr) {
    const LoadSpan span = load_span(info);
    identity = &query.out[index];
    identity->base = info.dlpi_addr + span.low;
    identity->size = span.high - span.low;
    const NoteText id = build_id_note(info);
    identity->id_length =
        static_cast<std::uint32_t>(std::min<std::size_t>(id.size, ModuleIdentity::kMaxIdLength));
    if (id.size != 0) std::memcpy(identity->id, id.data, identity->id_length);
  } else {
    query.out[index] = *identity;
  }
  --query.left;
}

// Places every address the object holds; runs under the loader's lock, so the object cannot be
// unloaded while its notes are read.
int identify_holder(dl_phdr_info* info, std::size_t, void* context) {
  auto& query = *static_cast<IdentityQuery*>(context);
  ModuleIdentity* identity = nullptr;
  if (query.order == nullptr) {
    for (std::uint32_t i = 0; i < query.count; ++i) place_address(*info, query, i, identity);
  } else {
    const LoadSpan span = load_span(*info);
    const std::uint64_t low = info->dlpi_addr + span.low;
    const std::uint64_t high = info->dlpi_addr + span.high;
    const auto* it = std::lower_bound(query.order, query.order + query.count, low,
                                      [&](std::uint32_t index, std::uint64_t address) {
                                        return query.addresses[index] < address;
                                      });
    for (; it != query.order + query.count && query.addresses[*it] < high; ++it) {
      place_address(*info, query, *it, identity);
    }
  }
  return query.left == 0 ? 1 : 0;
}

struct NameQuery {
  std::uint64_t base;
  std::string name;
};

int find_name(dl_phdr_info* info, std::size_t, void* context) {
  auto* query = static_cast<NameQuery*>(context);
  const LoadSpan span = load_span(*info);
  if (span.low >= span.high || info->dlpi_addr + span.low != query->base) return 0;
  if (info->dlpi_name != nullptr) query->name = info->dlpi_name;
  return 1;
}

}  // namespace

std::vector<LoadedObject> loaded_objects() {
  ObjectList list;
  dl_iterate_phdr(collect_object, &list);
  return std::move(list.objects);
}

bool loaded_image_at(std::uint64_t base, LoadedImage& image) {
  ImageQuery query{base, image};
  dl_iterate_phdr(find_image, &query);
  return query.found;
}

std::string executable_path() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return std::string();
  return std::string(path, static_cast<std::size_t>(length));
}

void identify_objects(const std::uint64_t* addresses, std::uint32_t count, ModuleIdentity* out) {
  constexpr std::uint32_t kFewAddresses = 16;
  for (std::uint32_t i = 0; i < count; ++i) out[i] = ModuleIdentity();
  std::vector<std::uint32_t> order;
  if (count > kFewAddresses) {
    order.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return addresses[a] < addresses[b]; });
  }
  IdentityQuery query{addresses, count, out, count, order.empty() ? nullptr : order.data()};
  if (count != 0) dl_iterate_phdr(identify_holder, &query);
}

void* object_base_of(const void* address) {
  AddressQuery query{reinterpret_cast<std::uint64_t>(address)};
  dl_iterate_phdr(find_holder, &query);
  return query.base;
}

const Executable& executable() {
  // The program headers of the executable lie inside its first mapping.
  static const Executable instance{
      object_base_of(reinterpret_cast<const void*>(getauxval(AT_PHDR))),
      to_wide(executable_path())};
  return instance;
}

std::wstring object_path(void* base) {
  if (base == nullptr) return std::wstring();
  // The loader gives the executable an empty name; /proc/self/exe is its real path.
  if (base == executable().base) return executable().path;
  NameQuery query{reinterpret_cast<std::uint64_t>(base)};
  dl_iterate_phdr(find_name, &query);
  return to_wide(query.name);
}

}  // namespace quillmark::platform::posix
