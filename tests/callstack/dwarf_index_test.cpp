// The two readers of a module's DWARF on real modules (this test program, DWARF 5 from the
// compiler's defaults; a library built with DWARF 4; libraries with compressed debug sections
// of both kinds), at the addresses of line-table rows spread over every unit: the libdw path
// (source_lines.h, for DWARF the resolver cannot read) finds the inlined calls of a plain walk
// of the unit's whole tree, and the resolver, reading the sections as the symbol handler does
// (elf_dwarf_file.h), agrees with it on every inlined call and call site, and with libdw's line
// table on every line.
#include <dwarf.h>
#include <elfutils/libdwfl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "debuginfo/address_ranges.h"
#include "debuginfo/dwarf_resolver.h"
#include "debuginfo/function_symbols.h"
#include "debuginfo/symbol_names.h"
#include "platform/posix/module_dwarf.h"
#include "platform/posix/source_lines.h"
#include "tests/callstack/offline_module.h"

namespace {

using quillmark::platform::posix::InlineChain;
using quillmark::platform::posix::ModuleDwarf;
using quillmark::platform::posix::SourceLine;
using quillmark::testing::OfflineModule;

// At most this many addresses per module: the reference walk is slow.
constexpr std::size_t kMaxAddresses = 400;

const char* const kModules[] = {"", LINE_SAMPLE_DWARF4, LINE_SAMPLE_COMPRESSED,
                                LINE_SAMPLE_GNU_COMPRESSED};

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

TEST(DwarfResolver, AgreesWithTheLibdwPathOnCallsAndLines) {
  for (const char* listed : kModules) {
    const std::string path = module_path(listed);
    OfflineModule offline(path);
    ASSERT_NE(offline.module(), nullptr) << path;
    const auto file = quillmark::testing::dwarf_file(path);
    ASSERT_NE(file, nullptr) << path;
    const quillmark::debuginfo::DwarfSections& sections = file->sections();
    quillmark::debuginfo::DwarfResolver resolver(sections);
    quillmark::debuginfo::AddressRanges units;
    ASSERT_TRUE(units.read(sections.aranges.data, sections.aranges.size)) << path;
    ModuleDwarf cache;
    std::size_t lines = 0;
    const std::vector<quillmark::debuginfo::FunctionSymbol> symbols =
        function_symbols(offline.module());
    Dwarf_Addr bias = 0;
    dwfl_module_getdwarf(offline.module(), &bias);
    for (const Dwarf_Addr address : row_addresses(offline.module())) {
      SCOPED_TRACE(path + " at 0x" + std::to_string(address - bias));
      // Where several units claim an address (the dropped copies of inline functions), which
      // one answers is each reader's own choice.
      std::uint64_t unit_offset = 0;
      if (!units.unit_at(address - bias, unit_offset)) continue;
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
      // libdw's row, or the call's among several at its address, as line_program_test.cpp
      // checks the line programs.
      const quillmark::testing::Answer line =
          quillmark::testing::libdw_answer(offline.module(), address);
      if (line.found) {
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
  const auto file = quillmark::testing::dwarf_file(LINE_SAMPLE_DWARF4);
  ASSERT_NE(file, nullptr);
  const quillmark::debuginfo::DwarfSections& real = file->sections();
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
