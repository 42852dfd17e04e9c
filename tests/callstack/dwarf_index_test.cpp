// The module's own look-ups of units and functions against plain libdw, on real modules (this
// test program, DWARF 5 from the compiler's defaults; a library built with DWARF 4; one with
// compressed debug sections), at the addresses of line-table rows spread over every unit: the
// unit found is the one dwfl_module_addrdie finds, and the function and the inlined calls
// around an address (their number and call sites) are those of a plain walk of the unit's
// whole tree through libdw. The container-free resolver, given the same sections, agrees with
// the Linux path on every inlined call, call site and line.
#include <dwarf.h>
#include <elfutils/libdwfl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "debuginfo/dwarf_resolver.h"
#include "debuginfo/function_symbols.h"
#include "debuginfo/symbol_names.h"
#include "platform/posix/debug_sections.h"
#include "platform/posix/function_entries.h"
#include "platform/posix/module_dwarf.h"
#include "platform/posix/source_lines.h"
#include "platform/posix/unit_ranges.h"
#include "tests/callstack/offline_module.h"

namespace {

using quillmark::platform::posix::FunctionEntries;
using quillmark::platform::posix::InlineChain;
using quillmark::platform::posix::ModuleDwarf;
using quillmark::platform::posix::SourceLine;
using quillmark::platform::posix::UnitRanges;
using quillmark::testing::OfflineModule;

// At most this many addresses per module: the reference walk is slow.
constexpr std::size_t kMaxAddresses = 400;

const char* const kModules[] = {"", LINE_SAMPLE_DWARF4, LINE_SAMPLE_COMPRESSED};

std::string module_path(const char* listed) {
  return listed[0] == '\0' ? quillmark::testing::this_program() : listed;
}

// Row addresses (load-biased, as frames give them) spread evenly over every unit's rows.
std::vector<Dwarf_Addr> row_addresses(Dwfl_Module* module) {
  const std::vector<Dwarf_Addr> all = quillmark::testing::row_addresses(module);
  const std::size_t stride = all.size() / kMaxAddresses + 1;
  std::vector<Dwarf_Addr> spread;
  for (std::size_t i = 0; i < all.size(); i += stride) spread.push_back(all[i]);
  return spread;
}

// The innermost function that holds an address, and the inlined calls inside it that hold it,
// innermost first.
struct Scopes {
  Dwarf_Off function = 0;
  std::vector<Dwarf_Die> calls;
};

bool is_walked_through(int tag) {
  return tag == DW_TAG_namespace || tag == DW_TAG_module || tag == DW_TAG_class_type ||
         tag == DW_TAG_structure_type || tag == DW_TAG_union_type;
}

// Depth first through every entry that holds `pc` and every namespace and type (which hold no
// code themselves but may hold entries that do). dwarf_getscopes cannot serve: past the
// innermost inlined call it goes on with the scopes of that call's abstract origin, not with
// the calls around it.
bool walk(Dwarf_Die& parent, Dwarf_Addr pc, Scopes& scopes) {
  Dwarf_Die child;
  if (dwarf_child(&parent, &child) != 0) return false;
  do {
    const int tag = dwarf_tag(&child);
    if (dwarf_haspc(&child, pc) == 1) {
      if (tag == DW_TAG_subprogram) {
        scopes.function = dwarf_dieoffset(&child);
        scopes.calls.clear();
      }
      if (tag == DW_TAG_inlined_subroutine) scopes.calls.insert(scopes.calls.begin(), child);
      walk(child, pc, scopes);
      return true;
    }
    if (is_walked_through(tag) && walk(child, pc, scopes)) return true;
  } while (dwarf_siblingof(&child, &child) == 0);
  return false;
}

Scopes reference_scopes(Dwarf_Die* unit, Dwarf_Addr pc) {
  Scopes scopes;
  walk(*unit, pc, scopes);
  return scopes;
}

TEST(UnitRanges, FindTheUnitLibdwFinds) {
  for (const char* listed : kModules) {
    const std::string path = module_path(listed);
    OfflineModule offline(path);
    ASSERT_NE(offline.module(), nullptr) << path;
    UnitRanges units;
    std::size_t listed_count = 0;
    const std::vector<Dwarf_Addr> addresses = row_addresses(offline.module());
    for (const Dwarf_Addr address : addresses) {
      Dwarf_Addr bias = 0;
      Dwarf* dwarf = dwfl_module_getdwarf(offline.module(), &bias);
      Dwarf_Die unit;
      if (units.unit_at(dwarf, address - bias, unit) != UnitRanges::Found::kUnit) continue;
      ++listed_count;
      Dwarf_Die* theirs = dwfl_module_addrdie(offline.module(), address, &bias);
      ASSERT_NE(theirs, nullptr) << path << " at 0x" << std::hex << address;
      ASSERT_EQ(dwarf_dieoffset(&unit), dwarf_dieoffset(theirs))
          << path << " at 0x" << std::hex << address;
    }
    // Every unit of these modules is listed in .debug_aranges; an address the copies of an
    // inline function in several units claim is left to libdw.
    EXPECT_GT(listed_count * 2, addresses.size()) << path;
  }
}

TEST(FunctionEntries, FindTheFunctionLibdwFinds) {
  for (const char* listed : kModules) {
    const std::string path = module_path(listed);
    OfflineModule offline(path);
    ASSERT_NE(offline.module(), nullptr) << path;
    FunctionEntries functions;
    std::size_t found_count = 0;
    const std::vector<Dwarf_Addr> addresses = row_addresses(offline.module());
    for (const Dwarf_Addr address : addresses) {
      Dwarf_Addr bias = 0;
      Dwarf_Die* unit = dwfl_module_addrdie(offline.module(), address, &bias);
      Dwarf* dwarf = dwfl_module_getdwarf(offline.module(), &bias);
      if (unit == nullptr) continue;  // rows of code .debug_aranges leaves out
      const Scopes theirs = reference_scopes(unit, address - bias);
      Dwarf_Die function;
      if (!functions.function_at(dwarf, *unit, address - bias, function)) {
        EXPECT_EQ(theirs.function, 0U) << path << " at 0x" << std::hex << address;
        continue;
      }
      ++found_count;
      ASSERT_EQ(dwarf_dieoffset(&function), theirs.function)
          << path << " at 0x" << std::hex << address;
    }
    EXPECT_GT(found_count * 10, addresses.size() * 9) << path;
  }
}

TEST(InlineChain, GivesTheInlinedCallsLibdwGives) {
  for (const char* listed : kModules) {
    const std::string path = module_path(listed);
    OfflineModule offline(path);
    ASSERT_NE(offline.module(), nullptr) << path;
    ModuleDwarf cache;
    std::size_t with_calls = 0;
    std::size_t nested = 0;
    for (const Dwarf_Addr address : row_addresses(offline.module())) {
      Dwarf_Addr bias = 0;
      Dwarf_Die* unit = dwfl_module_addrdie(offline.module(), address, &bias);
      if (unit == nullptr) continue;  // rows of code .debug_aranges leaves out
      const Scopes theirs = reference_scopes(unit, address - bias);
      const InlineChain chain(offline.module(), cache, address);
      ASSERT_EQ(chain.size(), theirs.calls.size()) << path << " at 0x" << std::hex << address;
      for (std::uint32_t depth = 0; depth < chain.size(); ++depth) {
        Dwarf_Die call = theirs.calls[depth];
        Dwarf_Attribute attribute;
        Dwarf_Word line = 0;
        SourceLine site;
        const bool has_line =
            dwarf_formudata(dwarf_attr(&call, DW_AT_call_line, &attribute), &line) == 0;
        ASSERT_EQ(chain.call_site(depth, site), has_line);
        if (has_line) {
          EXPECT_EQ(site.line, line) << path << " at 0x" << std::hex << address;
        }
      }
      if (chain.size() > 0) ++with_calls;
      if (chain.size() > 1) ++nested;
    }
    // The libraries are optimised (and so is this program in a release build): some of their
    // rows lie in inlined code, some in calls inlined into inlined calls.
    if (std::string(listed).empty()) continue;
    EXPECT_GT(with_calls, 5U) << path;
    EXPECT_GT(nested, 0U) << path;
  }
}

// The module's DWARF sections as libdw has opened them.
quillmark::debuginfo::DwarfSections sections_of(Dwfl_Module* module) {
  using quillmark::platform::posix::debug_section;
  Dwarf_Addr bias = 0;
  Dwarf* dwarf = dwfl_module_getdwarf(module, &bias);
  quillmark::debuginfo::DwarfSections sections;
  const std::pair<const char*, quillmark::debuginfo::SectionBytes*> wanted[] = {
      {".debug_info", &sections.info},     {".debug_abbrev", &sections.abbrev},
      {".debug_line", &sections.line},     {".debug_line_str", &sections.line_str},
      {".debug_str", &sections.str},       {".debug_aranges", &sections.aranges},
      {".debug_ranges", &sections.ranges}, {".debug_rnglists", &sections.rnglists},
      {".debug_addr", &sections.addr},     {".debug_str_offsets", &sections.str_offsets}};
  for (const auto& [name, bytes] : wanted) {
    debug_section(dwarf, name, bytes->data, bytes->size);
  }
  return sections;
}

// The module's function symbols, by address as the DWARF gives addresses.
std::vector<quillmark::debuginfo::FunctionSymbol> function_symbols(Dwfl_Module* module) {
  std::vector<quillmark::debuginfo::FunctionSymbol> symbols;
  Dwarf_Addr bias = 0;
  dwfl_module_getdwarf(module, &bias);
  for (int i = 0; i < dwfl_module_getsymtab(module); ++i) {
    GElf_Sym symbol;
    GElf_Addr address = 0;
    const char* name =
        dwfl_module_getsym_info(module, i, &symbol, &address, nullptr, nullptr, nullptr);
    if (name == nullptr || GELF_ST_TYPE(symbol.st_info) != STT_FUNC || address == 0) continue;
    symbols.push_back({address - bias, name, std::strlen(name)});
  }
  std::sort(symbols.begin(), symbols.end(),
            [](const auto& a, const auto& b) { return a.address < b.address; });
  return symbols;
}

TEST(DwarfResolver, AgreesWithTheLinuxPathOnCallsAndLines) {
  for (const char* listed : kModules) {
    const std::string path = module_path(listed);
    OfflineModule offline(path);
    ASSERT_NE(offline.module(), nullptr) << path;
    const quillmark::debuginfo::DwarfSections sections = sections_of(offline.module());
    if (sections.info.empty()) continue;  // compressed sections: not read directly
    quillmark::debuginfo::DwarfResolver resolver(sections);
    ModuleDwarf cache;
    UnitRanges units;
    std::size_t lines = 0;
    const std::vector<quillmark::debuginfo::FunctionSymbol> symbols =
        function_symbols(offline.module());
    Dwarf_Addr bias = 0;
    Dwarf* dwarf = dwfl_module_getdwarf(offline.module(), &bias);
    for (const Dwarf_Addr address : row_addresses(offline.module())) {
      SCOPED_TRACE(path + " at 0x" + std::to_string(address - bias));
      // Where several units claim an address (the dropped copies of inline functions), which
      // one answers is each reader's own choice.
      Dwarf_Die unit;
      if (units.unit_at(dwarf, address - bias, unit) == UnitRanges::Found::kNotListed) continue;
      quillmark::debuginfo::AddressInfo info;
      InlineChain chain(offline.module(), cache, address);
      if (!resolver.describe(address - bias, info) || !info.has_function) {
        EXPECT_EQ(chain.size(), 0u);
        continue;
      }
      ASSERT_EQ(info.calls.size(), chain.size());
      for (std::uint32_t depth = 0; depth < chain.size(); ++depth) {
        SourceLine site;
        ASSERT_TRUE(chain.call_site(depth, site));
        EXPECT_EQ(info.calls[depth].call_file, site.file);
        EXPECT_EQ(info.calls[depth].call_line, site.line);
        EXPECT_EQ(info.calls[depth].function,
                  quillmark::debuginfo::shown_function_name(chain.function_name(depth), true));
      }
      // Named by the module's symbols, the function reads as the Linux path shows it.
      const char* symbol = dwfl_module_addrname(offline.module(), address);
      quillmark::debuginfo::name_by_symbol(symbols, address - bias, info);
      if (symbol != nullptr) {
        EXPECT_EQ(info.function, quillmark::debuginfo::shown_function_name(symbol, true));
      }
      SourceLine line;
      if (quillmark::platform::posix::line_at(offline.module(), cache, address, line)) {
        ++lines;
        EXPECT_TRUE(info.has_line);
        EXPECT_EQ(info.file, line.file);
        EXPECT_EQ(info.line, line.line);
        EXPECT_EQ(info.line_address, line.address - bias);
      }
    }
    EXPECT_GT(lines, 0u) << path;
  }
}

// Copies of the sections, cut and with bytes changed, read at the addresses of real rows: the
// resolver must stay inside the copies (the sanitizer builds see any read past them).
TEST(DwarfResolver, DamagedSectionsGiveLessNeverAReadOutside) {
  OfflineModule offline(LINE_SAMPLE_DWARF4);
  ASSERT_NE(offline.module(), nullptr);
  const quillmark::debuginfo::DwarfSections real = sections_of(offline.module());
  ASSERT_FALSE(real.info.empty());
  Dwarf_Addr bias = 0;
  dwfl_module_getdwarf(offline.module(), &bias);
  const std::vector<Dwarf_Addr> addresses = row_addresses(offline.module());
  std::uint32_t state = 12345;
  const auto next = [&state] { return state = state * 1103515245u + 12345u; };
  using Bytes = std::vector<unsigned char>;
  const auto copy = [](const quillmark::debuginfo::SectionBytes& section) {
    return Bytes(section.data, section.data + section.size);
  };
  for (int round = 0; round < 40; ++round) {
    Bytes info = copy(real.info);
    Bytes abbrev = copy(real.abbrev);
    Bytes line = copy(real.line);
    Bytes aranges = copy(real.aranges);
    for (Bytes* bytes : {&info, &abbrev, &line, &aranges}) {
      if (bytes->empty()) continue;
      if (round % 2 == 0) bytes->resize(next() % bytes->size());
      for (int flip = 0; flip < 4 && !bytes->empty(); ++flip) {
        (*bytes)[next() % bytes->size()] = static_cast<unsigned char>(next() >> 16);
      }
    }
    quillmark::debuginfo::DwarfSections damaged = real;
    damaged.info = {info.data(), info.size()};
    damaged.abbrev = {abbrev.data(), abbrev.size()};
    damaged.line = {line.data(), line.size()};
    damaged.aranges = {aranges.data(), aranges.size()};
    quillmark::debuginfo::DwarfResolver resolver(damaged);
    for (std::size_t i = 0; i < addresses.size(); i += 7) {
      quillmark::debuginfo::AddressInfo info_found;
      resolver.describe(addresses[i] - bias, info_found);
    }
  }
}

}  // namespace
