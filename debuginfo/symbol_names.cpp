#include "debuginfo/symbol_names.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace quillmark::debuginfo {

namespace {

// The suffixes GCC gives to the copies it makes of a function: specialised clones, split-off
// parts and the cold part of a function.
const char* const kCloneTags[] = {".isra",  ".constprop", ".part",      ".cold",
                                  ".clone", ".lto_priv",  ".localalias"};

bool ends_with(const std::string& text, std::size_t end, const char* suffix) {
  const std::size_t length = std::strlen(suffix);
  return end >= length && text.compare(end - length, length, suffix) == 0;
}

// Drops a symbol version ("memcpy@@GLIBC_2.14" -> "memcpy").
std::string without_version(const char* name) {
  const char* at = std::strchr(name, '@');
  return at == nullptr ? std::string(name) : std::string(name, at);
}

// A name the demangler could not read for want of memory is no unreadable name: the failure
// goes to the caller, which then knows its answer is poorer than it should be.
bool demangle(const std::string& name, std::string& demangled) {
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  constexpr int kOutOfMemory = -1;
  if (status == kOutOfMemory) throw std::bad_alloc();
  if (status != 0 || text == nullptr) return false;
  demangled = text;
  std::free(text);
  return true;
}

}  // namespace

std::string without_parameter_list(const std::string& name) {
  std::size_t end = name.size();
  const auto strip_suffix = [&](const char* suffix) {
    if (!ends_with(name, end, suffix)) return false;
    end -= std::strlen(suffix);
    return true;
  };
  while (strip_suffix(" const") || strip_suffix(" volatile") || strip_suffix(" &&") ||
         strip_suffix(" &")) {
  }
  if (end == 0 || name[end - 1] != ')') return name;
  int depth = 0;
  for (std::size_t i = end; i-- > 0;) {
    if (name[i] == ')') ++depth;
    if (name[i] == '(' && --depth == 0) return i == 0 ? name : name.substr(0, i);
  }
  return name;
}

std::string without_clone_tags(const std::string& name) {
  std::string result = name;
  // Demangled: "load(int) [clone .constprop.0] [clone .cold]".
  static const char kCloneGroup[] = " [clone ";
  for (;;) {
    if (result.empty() || result.back() != ']') break;
    const std::size_t group = result.rfind(kCloneGroup);
    if (group == std::string::npos || result.find(']', group) != result.size() - 1) break;
    result.erase(group);
  }
  // Not mangled: "load.constprop.0", "load.part.0.isra.0", "load.cold".
  std::size_t cut = std::string::npos;
  for (const char* tag : kCloneTags) {
    const std::size_t length = std::strlen(tag);
    for (std::size_t at = result.find(tag); at != std::string::npos;
         at = result.find(tag, at + 1)) {
      const std::size_t after = at + length;
      if (at > 0 && (after == result.size() || result[after] == '.')) {
        cut = std::min(cut, at);
        break;
      }
    }
  }
  if (cut != std::string::npos) result.erase(cut);
  return result;
}

bool still_mangled(const std::string& shown) { return shown.compare(0, 2, "_Z") == 0; }

std::string shown_function_name(const char* raw, bool undecorate) {
  const std::string name = without_version(raw);
  if (!undecorate) return name;
  std::string demangled;
  if (!demangle(name, demangled)) return without_clone_tags(name);
  return without_parameter_list(without_clone_tags(demangled));
}

}  // namespace quillmark::debuginfo
