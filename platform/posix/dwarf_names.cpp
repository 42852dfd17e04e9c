#include "platform/posix/dwarf_names.h"

#include <dwarf.h>

#include <cstdlib>
#include <memory>

namespace quillmark::platform::posix {

namespace {

// How many DW_AT_abstract_origin and DW_AT_specification links are followed at most: damaged
// DWARF may make them a loop.
constexpr int kMaxLinks = 8;

// The entry `die` refers to through `name`, if it has that attribute.
bool follow(Dwarf_Die& die, unsigned int name) {
  Dwarf_Attribute attribute;
  Dwarf_Die target;
  if (dwarf_formref_die(dwarf_attr(&die, name, &attribute), &target) == nullptr) return false;
  die = target;
  return true;
}

// The entry that declares the function: where its scopes are.
Dwarf_Die declaration_of(Dwarf_Die die) {
  for (int link = 0; link < kMaxLinks; ++link) {
    if (!follow(die, DW_AT_abstract_origin) && !follow(die, DW_AT_specification)) break;
  }
  return die;
}

bool is_named_scope(int tag) {
  switch (tag) {
    case DW_TAG_namespace:
    case DW_TAG_class_type:
    case DW_TAG_structure_type:
    case DW_TAG_union_type:
    case DW_TAG_interface_type:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string qualified_dwarf_name(Dwarf_Die die) {
  Dwarf_Die declaration = declaration_of(die);
  const char* own = dwarf_diename(&declaration);
  if (own == nullptr) return std::string();
  std::string name = own;
  Dwarf_Die* scopes = nullptr;
  const int count = dwarf_getscopes_die(&declaration, &scopes);
  std::unique_ptr<Dwarf_Die, decltype(&std::free)> owned(scopes, &std::free);
  // scopes[0] is the declaration itself, then its parents outwards.
  for (int i = 1; i < count; ++i) {
    const int tag = dwarf_tag(&scopes[i]);
    if (!is_named_scope(tag)) break;
    const char* scope = dwarf_diename(&scopes[i]);
    if (scope == nullptr && tag != DW_TAG_namespace) break;
    name.insert(0, std::string(scope != nullptr ? scope : "(anonymous namespace)") + "::");
  }
  return name;
}

}  // namespace quillmark::platform::posix
