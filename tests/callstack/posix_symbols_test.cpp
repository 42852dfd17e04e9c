// The Linux symbol handler against real files: modules replaced on disk, blocking files in the
// symbol search path, failed loads, the search order of separate debug files, and a debug file
// that is slow to open.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "callstack/call_stack.h"
#include "callstack/cstack_info.h"
#include "callstack/describe_stack.h"
#include "callstack/resolution_lock.h"
#include "callstack/symbol_handler.h"
#include "platform/debug_help.h"
#include "platform/posix/debug_file_search.h"
#include "platform/posix/elf_dwarf_file.h"
#include "platform/posix/loaded_objects.h"
#include "platform/posix/module_symbols.h"
#include "platform/posix/wide_text.h"
#include "quillmark/resource_monitor.h"
#include "split_debug_lib.h"
#include "support/gate.h"

namespace {

// The end of the path of a file whose opening waits at `held_open_gate` (none while null), as a
// debug file on a slow disk or network share would.
std::atomic<const char*> held_open_suffix{nullptr};
quillmark::testing::Gate* held_open_gate = nullptr;

bool ends_with(const char* text, const char* suffix) {
  const std::size_t length = std::strlen(text);
  const std::size_t suffix_length = std::strlen(suffix);
  return length >= suffix_length && std::strcmp(text + length - suffix_length, suffix) == 0;
}

}  // namespace

// Takes the place of the C library's open() for the whole test program, libdw included.
extern "C" int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
    std::va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  using Open = int (*)(const char*, int, ...);
  static const auto next_open = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
  const char* held = held_open_suffix.load();
  if (held != nullptr && ends_with(path, held)) held_open_gate->hold();
  return next_open(path, flags, mode);
}

namespace {

namespace fs = std::filesystem;
using quillmark::platform::DebugHelp;
namespace posix = quillmark::platform::posix;

// Seconds a child may take before it counts as hung.
constexpr unsigned kHangLimit = 20;

fs::path fresh_folder() {
  std::string pattern = (fs::path(::testing::TempDir()) / "quillmark-symbols-XXXXXX").string();
  return mkdtemp(pattern.data()) != nullptr ? fs::path(pattern) : fs::path();
}

// The system handler, started with `search_path` (';'-separated folders) and the options the
// subsystem sets, with every module loaded right now reported to it, as the first description
// of a stack does.
DebugHelp& handler_with_modules(const std::wstring& search_path) {
  DebugHelp& help = quillmark::platform::debug_help();
  help.set_symbol_options(
      quillmark::platform::kSymOptDebug | quillmark::platform::kSymOptLoadLines |
      quillmark::platform::kSymOptDeferredLoads | quillmark::platform::kSymOptUndecorateNames);
  help.initialize_symbols(help.current_process(), search_path.c_str(), false);
  struct Module {
    std::wstring path;
    std::uint64_t base;
    std::uint32_t size;
  };
  std::vector<Module> modules;
  help.enumerate_loaded_modules(
      help.current_process(),
      [](const wchar_t* name, std::uint64_t base, std::uint32_t size, void* list) {
        static_cast<std::vector<Module>*>(list)->push_back({name, base, size});
        return true;
      },
      &modules);
  for (const Module& module : modules) {
    help.load_module(help.current_process(), module.path.c_str(), module.base, module.size);
  }
  return help;
}

quillmark::platform::AddressSymbols symbols_at(DebugHelp& help, const void* address) {
  quillmark::platform::AddressSymbols symbols;
  help.resolve_address(help.current_process(), reinterpret_cast<std::uint64_t>(address), symbols);
  return symbols;
}

std::string function_at(DebugHelp& help, const void* address) {
  const auto symbols = symbols_at(help, address);
  return symbols.function.has_name ? symbols.function.name : "(address only)";
}

// The line of the address itself (the innermost frame's).
const quillmark::platform::ShownFunction& innermost(
    const quillmark::platform::AddressSymbols& symbols) {
  return symbols.inlined.empty() ? symbols.function : symbols.inlined.front();
}

bool has_line(DebugHelp& help, const void* address) {
  return innermost(symbols_at(help, address)).has_line;
}

int open_descriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

TEST(ModulesOnDemand, OnlyTheModuleOfAResolvedFrameIsOpened) {
  const int before = open_descriptors();
  DebugHelp& help = handler_with_modules(L"");
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_NE(function_at(help, reinterpret_cast<const void*>(&open_descriptors)), "(address only)");
  // The executable's file; its debug information is inside it.
  EXPECT_EQ(open_descriptors(), before + 1);
}

// The module of an address and the path of a module agree with the module list for every loaded
// object, the executable (under its /proc/self/exe path) and libraries alike; addresses outside
// every object have none.
TEST(ModuleLookUp, AgreesWithTheModuleList) {
  const std::vector<posix::LoadedObject> objects = posix::loaded_objects();
  ASSERT_FALSE(objects.empty());
  EXPECT_EQ(posix::executable().base, reinterpret_cast<void*>(objects.front().base));
  for (const posix::LoadedObject& object : objects) {
    SCOPED_TRACE(posix::to_utf8(object.path.c_str()));
    void* base = reinterpret_cast<void*>(object.base);
    // The last byte of its highest segment.
    EXPECT_EQ(posix::object_base_of(reinterpret_cast<const void*>(object.base + object.size - 1)),
              base);
    EXPECT_EQ(posix::object_path(base), object.path);
  }
  int on_the_stack = 0;
  EXPECT_EQ(posix::object_base_of(&on_the_stack), nullptr);
  EXPECT_EQ(posix::object_base_of(nullptr), nullptr);
  EXPECT_EQ(posix::object_path(&on_the_stack), L"");
}

// Loads a copy of the first build of the test library from a folder of its own.
void* load_copy(const fs::path& copy) {
  fs::copy_file(STALE_LIB_FIRST_BUILD, copy);
  return dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
}

TEST(ReplacedModule, ResolvesWhileTheLoadedFileIsInPlace) {
  const fs::path copy = fresh_folder() / "libstale.so";
  void* library = load_copy(copy);
  ASSERT_NE(library, nullptr) << dlerror();
  const void* function = dlsym(library, "stale_function");
  ASSERT_NE(function, nullptr);
  EXPECT_EQ(function_at(handler_with_modules(L""), function), "stale_function");
}

TEST(ReplacedModule, ShowsAddressesOnlyOnceAnotherBuildTookItsPlace) {
  const fs::path copy = fresh_folder() / "libstale.so";
  void* library = load_copy(copy);
  ASSERT_NE(library, nullptr) << dlerror();
  const void* function = dlsym(library, "stale_function");
  ASSERT_NE(function, nullptr);
  // Replaced the way an installer does: a new file under the old name.
  const fs::path next = copy.string() + ".next";
  fs::copy_file(STALE_LIB_SECOND_BUILD, next);
  fs::rename(next, copy);

  DebugHelp& help = handler_with_modules(L"");
  EXPECT_EQ(function_at(help, function), "(address only)");
  EXPECT_FALSE(has_line(help, function));
  // Other modules are not affected.
  EXPECT_NE(function_at(help, reinterpret_cast<const void*>(&fresh_folder)), "(address only)");
}

std::string line_at(DebugHelp& help, const void* address) {
  const auto symbols = symbols_at(help, address);
  const quillmark::platform::ShownFunction& line = innermost(symbols);
  return line.has_line ? line.file + ":" + std::to_string(line.line) : "(no line)";
}

// DWARF that names a supplementary file which is nowhere to be found is read without it: here,
// where the module's own DWARF says everything, the frame is the one of the same library without
// the link.
TEST(SupplementedDwarf, MissingSupplementLeavesWhatTheModuleSays) {
  posix::ElfDwarfFile file;
  EXPECT_EQ(file.open(open(STALE_LIB_ALTLINK, O_RDONLY | O_CLOEXEC)),
            posix::ElfDwarfFile::Opened::kDwarf);
  EXPECT_EQ(file.supplementary_link().path, "missing-supplement.debug");
  const fs::path folder = fresh_folder();
  fs::copy_file(STALE_LIB_FIRST_BUILD, folder / "libplain.so");
  fs::copy_file(STALE_LIB_ALTLINK, folder / "liblinked.so");
  void* plain = dlopen((folder / "libplain.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  void* linked = dlopen((folder / "liblinked.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(plain != nullptr && linked != nullptr) << dlerror();
  const void* in_plain = dlsym(plain, "stale_function");
  const void* in_linked = dlsym(linked, "stale_function");
  DebugHelp& help = handler_with_modules(L"");
  EXPECT_EQ(function_at(help, in_linked), "stale_function");
  EXPECT_NE(line_at(help, in_plain), "(no line)");
  EXPECT_EQ(line_at(help, in_linked), line_at(help, in_plain));
}

// A FIFO with the name of a module's debug file, in the first folder of the search path: the
// search passes over it to the real debug file in the next folder.
void resolve_past_a_fifo() {
  alarm(kHangLimit);
  const fs::path fifo_folder = fresh_folder();
  if (mkfifo((fifo_folder / "libcallstack_split_debug.so.debug").c_str(), 0600) != 0) {
    std::exit(2);
  }
  const fs::path symbol_table = fs::path(posix::executable_path()).parent_path() / "SymbolTable";
  DebugHelp& help =
      handler_with_modules(fifo_folder.wstring() + L";" + symbol_table.wstring() + L";");
  const void* function = reinterpret_cast<const void*>(&split_debug_outer);
  std::fprintf(stderr, "resolved: line=%d\n", has_line(help, function) ? 1 : 0);
  std::exit(0);
}

TEST(DebugFileSearchDeathTest, NeverWaitsOnAFifo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(resolve_past_a_fifo(), ::testing::ExitedWithCode(0), "resolved: line=1");
}

TEST(DebugFileSearch, OpensRegularFilesOnly) {
  const fs::path folder = fresh_folder();
  const fs::path fifo = folder / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(posix::open_regular_file(fifo.c_str()), -1);
  EXPECT_EQ(posix::open_regular_file(folder.c_str()), -1);
  EXPECT_EQ(posix::open_regular_file((folder / "missing").c_str()), -1);
  const int fd = posix::open_regular_file(posix::executable_path().c_str());
  EXPECT_GE(fd, 0);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  close(fd);
}

// A supplementary file: the link as given (a relative one beside the file that names it), then
// under each absolute folder its build-id path and, for a link into a ".dwz" folder, the same
// path below that folder's ".dwz".
TEST(DebugFileSearch, FindsSupplementaryFilesByTheLinkTheBuildIdAndTheDwzFolder) {
  const posix::DebugFileSearch search{{"/sym", "", "rel"}};
  const std::vector<std::string> relative = {"/usr/lib/debug/usr/lib/common.debug",
                                             "/sym/.build-id/ab/cdef.debug"};
  EXPECT_EQ(posix::supplementary_file_candidates(search, "/usr/lib/debug/usr/lib/libx.so.debug",
                                                 "common.debug", "abcdef"),
            relative);
  const std::vector<std::string> in_dwz = {"/usr/lib/debug/.dwz/x86_64-linux-gnu/pkg.debug",
                                           "/sym/.build-id/ab/cdef.debug",
                                           "/sym/.dwz/x86_64-linux-gnu/pkg.debug"};
  EXPECT_EQ(posix::supplementary_file_candidates(
                search, "/opt/libx.so", "/usr/lib/debug/.dwz/x86_64-linux-gnu/pkg.debug", "abcdef"),
            in_dwz);
  EXPECT_TRUE(posix::supplementary_file_candidates(search, "/opt/libx.so", "", "abcdef").empty());
}

TEST(DebugFileSearch, TriesBuildIdPathsThenTheDebugLinkInEachFolder) {
  const posix::DebugFileSearch search{{"/sym", "", ".debug", "rel/sub"}};
  const std::vector<std::string> expected = {
      "/sym/.build-id/ab/cdef.debug",  "/sym/opt/app/libx.so.debug",
      "/sym/app/libx.so.debug",        "/sym/libx.so.debug",
      "/opt/app/libx.so.debug",        "/opt/app/.debug/libx.so.debug",
      "/opt/app/rel/sub/libx.so.debug"};
  EXPECT_EQ(posix::debug_file_candidates(search, "/opt/app/libx.so", "", "abcdef"), expected);
}

TEST(DebugFileSearch, NamesTheDebugLinkAndSkipsRootsForRelativeModules) {
  const posix::DebugFileSearch search{{"/sym", ""}};
  const std::vector<std::string> expected = {"lib/x.dbg"};
  EXPECT_EQ(posix::debug_file_candidates(search, "lib/libx.so", "x.dbg", ""), expected);
}

// Registrations from one site, for descriptions of separate stacks.
__attribute__((noinline)) void register_here(resmonitor::CStackInfo& info, void* ptr) {
  resmonitor::record_stack(info, ptr, "Texture", StackContext{QUILLMARK_RETURN_ADDRESS()});
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void register_from_test(resmonitor::CStackInfo& info, void* ptr) {
  register_here(info, ptr);
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void register_through_caller(resmonitor::CStackInfo& info, void* ptr) {
  register_from_test(info, ptr);
  asm volatile("" ::: "memory");
}

// Runs in a process of its own, where no module was loaded before: every load fails while the
// first stack is described (the system is out of memory), and none once the second one is.
void describe_while_loads_fail() {
  auto info = std::make_shared<resmonitor::CStackInfo>();
  resmonitor::init_symbol_handler(*info);
  int first = 0;
  int second = 0;
  register_through_caller(*info, &first);
  register_through_caller(*info, &second);
  posix::testing::fail_module_loads(1000);
  const std::string failed = resmonitor::describe_stack(*info, &first);
  posix::testing::fail_module_loads(0);
  const std::string retried = resmonitor::describe_stack(*info, &second);
  // The stack described during the failure is not remembered as it was then.
  const std::string again = resmonitor::describe_stack(*info, &first);
  const auto named = [](const std::string& text) {
    return text.find("describe_while_loads_fail()") != std::string::npos;
  };
  std::fprintf(stderr, "during the failure: %s; later: %s, %s\n",
               named(failed) ? "named" : "addresses", named(retried) ? "named" : "addresses",
               named(again) ? "named" : "addresses");
  std::exit(0);
}

TEST(FailedModuleLoadDeathTest, LeavesLaterStacksFullyResolved) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(describe_while_loads_fail(), ::testing::ExitedWithCode(0),
              "during the failure: addresses; later: named, named");
}

// A new name's group shares the started symbol handler at once instead of waiting behind a
// resolution in progress (which may be reading a large debug file for seconds).
TEST(SymbolHandlerStart, NewNameDoesNotWaitForAResolutionInProgress) {
  resmonitor::CStackInfo started;
  resmonitor::init_symbol_handler(started);
  std::unique_lock<std::mutex> resolution(resmonitor::resolution_mutex());
  resmonitor::CStackInfo new_name;
  auto shared = std::async(std::launch::async, [&] { resmonitor::init_symbol_handler(new_name); });
  const bool in_time = shared.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  resolution.unlock();
  shared.get();
  EXPECT_TRUE(in_time);
  EXPECT_TRUE(new_name.symbols_ready);
  EXPECT_EQ(new_name.process, started.process);
}

// Registrations through the public interface, each from a call site of its own.
__attribute__((noinline)) void add_resource(const char* name, void* ptr) {
  resmonitor::AddResource(name, ptr);
  asm volatile("" ::: "memory");
}

// Called back by the library with the separate debug file.
void add_from_split_library(void* ptr) { add_resource("HeldDebugFile", ptr); }

std::string resolved_stack(const char* name, void* ptr) {
  resmonitor::ResMonitorInfo info;
  resmonitor::GetObjResource(name, ptr, info);
  return info.callStack;
}

double milliseconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Registers a stack through the library with the separate debug file: the one linked, or a copy
// loaded as a plugin (`plugin`) and unloaded again, whose frames are then read from its file.
void register_through_split_library(void* ptr, const char* plugin) {
  if (plugin == nullptr) {
    split_debug_outer(add_from_split_library, ptr);
    return;
  }
  void* library = dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
  const auto outer = reinterpret_cast<decltype(&split_debug_outer)>(
      library != nullptr ? dlsym(library, "split_debug_outer") : nullptr);
  if (outer == nullptr) std::exit(3);
  outer(add_from_split_library, ptr);
  dlclose(library);
}

// While one query waits for the debug file of the library its stack passes through, a query of a
// stack in other modules and a registration under a new name go ahead.
void resolve_beside_a_held_debug_file(const char* plugin) {
  alarm(kHangLimit);
  resmonitor::CreateResMonitor(resmonitor::MonitorInfoStack);
  int held = 0;
  int warm = 0;
  int other = 0;
  register_through_split_library(&held, plugin);
  add_resource("Warm", &warm);
  add_resource("Other", &other);
  // The test program's own modules are read first: the query below waits for nothing else.
  resolved_stack("Warm", &warm);

  quillmark::testing::Gate gate;
  held_open_gate = &gate;
  held_open_suffix = plugin != nullptr ? "/SymbolTable/libcallstack_split_debug_plugin.so.debug"
                                       : "/SymbolTable/libcallstack_split_debug.so.debug";
  auto held_text =
      std::async(std::launch::async, [&] { return resolved_stack("HeldDebugFile", &held); });
  if (!gate.wait_until_held()) std::exit(2);

  const auto start = std::chrono::steady_clock::now();
  auto other_text = std::async(std::launch::async, [&] { return resolved_stack("Other", &other); });
  const bool other_went_ahead =
      other_text.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  const double other_ms = milliseconds_since(start);
  auto added =
      std::async(std::launch::async, [&] { return resmonitor::AddResource("NewName", &other); });
  const bool new_name_went_ahead =
      added.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  const double new_name_ms = milliseconds_since(start) - other_ms;
  gate.release();

  const std::string other_lines = other_text.get();
  const std::string held_lines = held_text.get();
  added.get();
  resmonitor::DestroyResMonitor();
  std::fprintf(stderr, "other stack %s in %.2f ms, new name %s in %.2f ms\n",
               other_went_ahead ? "resolved" : "waited", other_ms,
               new_name_went_ahead ? "added" : "waited", new_name_ms);
  const bool other_resolved =
      other_lines.find("resolve_beside_a_held_debug_file") != std::string::npos;
  const bool held_resolved = held_lines.find("split_debug_lib.cpp (") != std::string::npos &&
                             held_lines.find("split_debug_outer") != std::string::npos;
  std::fprintf(stderr, "stacks: %s%s\n", other_resolved ? "other " : "",
               held_resolved ? "held" : "");
  std::exit(0);
}

// The library linked, and a plugin unloaded before its stack is shown, whose file is read then.
TEST(ModuleLoadingDeathTest, AHeldDebugFileHoldsUpOnlyTheStacksInItsModule) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* const kResolved =
      "other stack resolved in [0-9.]+ ms, new name added in [0-9.]+ ms\nstacks: other held";
  EXPECT_EXIT(resolve_beside_a_held_debug_file(nullptr), ::testing::ExitedWithCode(0), kResolved);
  EXPECT_EXIT(resolve_beside_a_held_debug_file(SPLIT_DEBUG_PLUGIN), ::testing::ExitedWithCode(0),
              kResolved);
}

}  // namespace
