// The resolver on real modules (this test program, DWARF 5 from the compiler's defaults; a
// library built with DWARF 4; libraries with compressed debug sections of both kinds), at the
// addresses of line-table rows spread over every unit: reading the sections as the symbol
// handler does (elf_dwarf_file.h), it finds the inlined calls of a plain libdw walk of the unit's
// whole tree, with their call sites and names, and libdw's line on every line. Libraries whose
// DWARF dwz has moved partly into a supplementary file give the frames of the same libraries
// without dwz.
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
#include "platform/posix/debug_file_search.h"
#include "platform/posix/module_symbols.h"
#include "tests/callstack/offline_module.h"

namespace {

using quillmark::debuginfo::AddressInfo;
using quillmark::debuginfo::DwarfResolver;
using quillmark::debuginfo::shown_function_name;
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

// Where libdw's walk says an inlined call was made from: the unit's file, joined to its
// compilation directory as the resolver joins it, and the line; an empty file when unknown.
std::pair<std::string, Dwarf_Word> call_site(Dwarf_Die* unit, Dwarf_Die call) {
  Dwarf_Attribute attribute;
  Dwarf_Word file = 0;
  Dwarf_Word line = 0;
  Dwarf_Files* files = nullptr;
  std::size_t count = 0;
  if (dwarf_formudata(dwarf_attr(&call, DW_AT_call_file, &attribute), &file) != 0 ||
      dwarf_formudata(dwarf_attr(&call, DW_AT_call_line, &attribute), &line) != 0 ||
      dwarf_getsrcfiles(unit, &files, &count) != 0 || file >= count) {
    return {};
  }
  std::string name = dwarf_filesrc(files, file, nullptr, nullptr);
  const char* directory = dwarf_formstring(dwarf_attr(unit, DW_AT_comp_dir, &attribute));
  if (name[0] != '/' && directory != nullptr && directory[0] != '\0') {
    name = std::string(directory) + '/' + name;
  }
  return {name, line};
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

TEST(DwarfResolver, AgreesWithLibdwOnCallsNamesAndLines) {
  for (const char* listed : kModules) {
    const std::string path = module_path(listed);
    OfflineModule offline(path);
    ASSERT_NE(offline.module(), nullptr) << path;
    const auto file = quillmark::testing::dwarf_file(path);
    ASSERT_NE(file, nullptr) << path;
    const quillmark::debuginfo::DwarfSections& sections = file->sections();
    DwarfResolver resolver(sections);
    quillmark::debuginfo::AddressRanges units;
    ASSERT_TRUE(units.read(sections.aranges.data, sections.aranges.size)) << path;
    std::size_t lines = 0;
    std::size_t with_calls = 0;
    std::size_t nested = 0;
    const std::vector<quillmark::debuginfo::FunctionSymbol> symbols =
        function_symbols(offline.module());
    for (const Dwarf_Addr address : row_addresses(offline.module())) {
      Dwarf_Addr bias = 0;
      Dwarf_Die* unit = dwfl_module_addrdie(offline.module(), address, &bias);
      SCOPED_TRACE(path + " at 0x" + std::to_string(address - bias));
      // Where several units claim an address (the dropped copies of inline functions), which
      // one answers is each reader's own choice.
      std::uint64_t unit_offset = 0;
      if (unit == nullptr || !units.unit_at(address - bias, unit_offset)) continue;
      const Scopes theirs = reference_scopes(unit, address - bias);
      AddressInfo info;
      if (!resolver.describe(address - bias, info) || !info.has_function) {
        EXPECT_EQ(theirs.calls.size(), 0u);
        continue;
      }
      ASSERT_EQ(info.calls.size(), theirs.calls.size());
      for (std::size_t depth = 0; depth < theirs.calls.size(); ++depth) {
        Dwarf_Die call = theirs.calls[depth];
        const auto [call_file, call_line] = call_site(unit, call);
        EXPECT_EQ(info.calls[depth].call_file, call_file);
        EXPECT_EQ(info.calls[depth].call_line, call_line);
        Dwarf_Attribute attribute;
        const char* linkage =
            dwarf_formstring(dwarf_attr_integrate(&call, DW_AT_linkage_name, &attribute));
        if (linkage != nullptr) {
          EXPECT_EQ(info.calls[depth].function, shown_function_name(linkage, true));
        }
      }
      with_calls += info.calls.empty() ? 0 : 1;
      nested += info.calls.size() > 1 ? 1 : 0;
      // Named by the module's symbols, the function reads as the Linux path shows it.
      const char* symbol = dwfl_module_addrname(offline.module(), address);
      quillmark::debuginfo::name_by_symbol(symbols, address - bias, info);
      if (symbol != nullptr) {
        EXPECT_EQ(info.function, shown_function_name(symbol, true));
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
    // The libraries are optimised (and so is this program in a release build): some of their
    // rows lie in inlined code, some in calls inlined into inlined calls.
    if (std::string(listed).empty()) continue;
    EXPECT_GT(with_calls, 5U) << path;
    EXPECT_GT(nested, 0U) << path;
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

#ifdef DWZ_GNU_FORMS
constexpr bool kHaveDwz = true;
#else
constexpr bool kHaveDwz = false;
#define DWZ_GNU_FORMS ""
#define DWZ_DWARF5_FORMS ""
#endif

// Everything the resolver says about an address, in one line.
std::string described(DwarfResolver& resolver, std::uint64_t address) {
  AddressInfo info;
  if (!resolver.describe(address, info)) return "(no unit)";
  std::string text = info.function + " @" + std::to_string(info.function_start) + " " + info.file +
                     ":" + std::to_string(info.line) + " @" + std::to_string(info.line_address);
  for (const quillmark::debuginfo::InlinedCall& call : info.calls) {
    text +=
        " | " + call.function + " from " + call.call_file + ":" + std::to_string(call.call_line);
  }
  return text;
}

// The dwz'd library at `linked` read as the symbol handler reads a module (the supplementary file
// found from the link), against the same library without dwz, at every row of the plain one.
void expect_frames_of_the_plain_library(const char* linked) {
  using quillmark::platform::posix::ModuleSymbols;
  const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf,
                                    quillmark::platform::posix::find_debug_file,
                                    dwfl_offline_section_address, nullptr};
  const quillmark::platform::posix::DebugFileSearch search{{"", ".debug", "/usr/lib/debug"}};
  quillmark::platform::ModuleIdentity identity;
  identity.base = 0x10000000;
  identity.size = 0x1000000;
  const auto module = ModuleSymbols::unloaded(linked, identity, &callbacks, &search);
  ASSERT_EQ(module->dwarf_reader(), ModuleSymbols::DwarfReader::kResolver) << linked;
  const auto plain_file = quillmark::testing::dwarf_file(DWZ_PLAIN);
  const auto linked_file = quillmark::testing::dwarf_file(linked);
  ASSERT_TRUE(plain_file != nullptr && linked_file != nullptr);
  DwarfResolver plain(plain_file->sections());
  DwarfResolver without_supplement(linked_file->sections());
  OfflineModule offline(DWZ_PLAIN);
  Dwarf_Addr bias = 0;
  dwfl_module_getdwarf(offline.module(), &bias);
  std::size_t rows = 0;
  std::size_t poorer_without = 0;
  std::size_t with_calls = 0;
  for (const Dwarf_Addr row : quillmark::testing::row_addresses(offline.module())) {
    const std::uint64_t address = row - bias;
    const std::string expected = described(plain, address);
    EXPECT_EQ(described(*module->resolver(), address), expected) << linked << " at " << address;
    ++rows;
    with_calls += expected.find(" | ") != std::string::npos ? 1 : 0;
    poorer_without += described(without_supplement, address) != expected ? 1 : 0;
  }
  EXPECT_GT(rows, 100u);
  EXPECT_GT(with_calls, 10u);
  // Names the supplementary file holds are what made the frames whole.
  EXPECT_GT(poorer_without, 10u) << linked;
}

TEST(SupplementedDwarf, GivesTheFramesOfTheSameLibraryWithoutDwz) {
  if (!kHaveDwz) GTEST_SKIP() << "dwz is not installed";
  expect_frames_of_the_plain_library(DWZ_GNU_FORMS);
  expect_frames_of_the_plain_library(DWZ_DWARF5_FORMS);
}

// The supplementary file's sections cut and with bytes changed: names are lost, the reads stay
// inside the copies (the sanitizer builds see any read past them).
TEST(SupplementedDwarf, DamagedSupplementGivesLessNeverAReadOutside) {
  if (!kHaveDwz) GTEST_SKIP() << "dwz is not installed";
  const std::string linked = DWZ_GNU_FORMS;
  const auto file = quillmark::testing::dwarf_file(linked);
  const auto supplement =
      quillmark::testing::dwarf_file(linked.substr(0, linked.rfind('/')) + "/common.debug");
  ASSERT_TRUE(file != nullptr && supplement != nullptr);
  ASSERT_TRUE(supplement->is_supplementary_for(file->supplementary_link()));
  OfflineModule offline(DWZ_PLAIN);
  Dwarf_Addr bias = 0;
  dwfl_module_getdwarf(offline.module(), &bias);
  const std::vector<Dwarf_Addr> rows = quillmark::testing::row_addresses(offline.module());
  std::uint32_t state = 54321;
  const auto next = [&state] { return state = state * 1103515245u + 12345u; };
  using Bytes = std::vector<unsigned char>;
  for (int round = 0; round < 40; ++round) {
    quillmark::debuginfo::DwarfSections damaged = supplement->sections();
    Bytes copies[3];
    quillmark::debuginfo::SectionBytes* sections[3] = {&damaged.info, &damaged.abbrev,
                                                       &damaged.str};
    for (int i = 0; i < 3; ++i) {
      Bytes& bytes = copies[i];
      bytes.assign(sections[i]->data, sections[i]->data + sections[i]->size);
      if (round % 2 == 0 && !bytes.empty()) bytes.resize(next() % bytes.size());
      for (int flip = 0; flip < 8 && !bytes.empty(); ++flip) {
        bytes[next() % bytes.size()] = static_cast<unsigned char>(next() >> 16);
      }
      *sections[i] = {bytes.data(), bytes.size()};
    }
    DwarfResolver resolver(file->sections(), &damaged);
    for (std::size_t i = 0; i < rows.size(); i += 5) described(resolver, rows[i] - bias);
  }
}

}  // namespace
