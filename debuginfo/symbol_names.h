// The names functions are shown under: the qualified name without its parameter list, the way
// an undecorated Windows name reads.
#pragma once

#include <string>

namespace quillmark::debuginfo {

// The shown name of the symbol `raw` (an ELF symbol or a DWARF linkage name): without its symbol
// version ("memcpy@@GLIBC_2.14" gives "memcpy") and, when `undecorate` is set, demangled, without
// parameter list and qualifiers, and without the tags of GCC's clones and split parts
// ("_ZL4loadi.constprop.0" and "load.part.0" give "load").
std::string shown_function_name(const char* raw, bool undecorate);

// Whether a shown name is still a mangled one: the demangler could not read the symbol.
bool still_mangled(const std::string& shown);

// "ns::Type::run(int) const" gives "ns::Type::run"; a name without parameter list stays.
std::string without_parameter_list(const std::string& name);

// Drops trailing " [clone .isra.0]" groups of a demangled name, and the ".constprop.0" (and the
// like) of a name that is not mangled.
std::string without_clone_tags(const std::string& name);

}  // namespace quillmark::debuginfo
