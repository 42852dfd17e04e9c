// Stacks recorded in a plugin that is unloaded before anyone queries them: they name the plugin's
// functions, files and lines even when another library took the plugin's address, read the
// plugin's file without leaving it mapped, and show the unloaded form (never another module's
// names) once that file is gone or another build.
#include <gtest/gtest.h>

#include <quillmark/resource_monitor.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <string>

#include "tests/resmonitor/loaded_library.h"

namespace {

using namespace resmonitor;
using resmonitor::testing::LoadedLibrary;
namespace fs = std::filesystem;

constexpr int kResources = 100;
constexpr int kSites = 3;
using RegisterTextures = void(int* objects, int count, int* lines);

// Replaces the file at `to` by a copy of `from` (removed first: MinGW's copy_file refuses to
// overwrite).
void copy_over(const fs::path& from, const fs::path& to) {
  fs::remove(to);
  fs::copy_file(from, to);
}

// A copy of `library` under a name of its own, so that each case loads a module no other case
// resolved before.
std::string copy_of(const char* library, const char* suffix) {
  const fs::path source(library);
  const fs::path copy =
      source.parent_path() / (source.stem().string() + suffix + source.extension().string());
  copy_over(source, copy);
  return copy.string();
}

std::string file_name_of(const std::string& path) { return fs::path(path).filename().string(); }

struct Plugin {
  int objects[kResources] = {};
  int lines[kSites] = {};
  std::uintptr_t entry = 0;  // where its register function was
};

// Loads the library at `path`, registers kResources objects from its three sites through
// `entry_name`, runs `before_unload` (when given) and unloads it.
void register_and_unload(const std::string& path, const char* entry_name, Plugin& plugin,
                         const std::function<void()>& before_unload = nullptr) {
  LoadedLibrary library(path.c_str());
  ASSERT_TRUE(library.loaded()) << path;
  auto* register_textures = library.function<RegisterTextures>(entry_name);
  ASSERT_NE(register_textures, nullptr);
  register_textures(plugin.objects, kResources, plugin.lines);
  plugin.entry = reinterpret_cast<std::uintptr_t>(register_textures);
  if (before_unload) before_unload();
  library.unload();
  ASSERT_FALSE(LoadedLibrary::resident(path.c_str()));
}

// The stack texts of `plugin`'s objects, by object.
std::map<const void*, std::string> stacks_of(const Plugin& plugin) {
  std::list<ResMonitorInfo> all;
  GetAllResource(all);
  std::map<const void*, std::string> stacks;
  for (const ResMonitorInfo& info : all) {
    const auto* object = static_cast<const int*>(info.obj);
    if (object >= plugin.objects && object < plugin.objects + kResources) {
      stacks[object] = info.callStack;
    }
  }
  return stacks;
}

// The first frame line of a stack text (the function that called AddResource).
std::string first_frame(const std::string& text) {
  const std::size_t start = text.find('\n') + 1;
  return text.substr(start, text.find('\n', start) + 1 - start);
}

class UnloadedPlugin : public ::testing::Test {
 protected:
  void SetUp() override { SetMonitorInfoLevel(MonitorInfoStack); }
  void TearDown() override { SetMonitorInfoLevel(MonitorInfoNone); }
};

// Loads the rebuilt library (the plugin's code under other names), registers kResources objects
// through it and tells whether it took the plugin's address.
bool load_rebuilt_after(const Plugin& plugin, LoadedLibrary& other, Plugin& rebuilt) {
  auto* entry = other.function<RegisterTextures>("rebuilt_register_textures");
  if (entry == nullptr) {
    ADD_FAILURE() << "no rebuilt_register_textures";
    return false;
  }
  entry(rebuilt.objects, kResources, rebuilt.lines);
  // Where the loader reuses the address, the plugin's return addresses now lie in the same
  // places of the rebuilt library's functions.
  const bool reused = reinterpret_cast<std::uintptr_t>(entry) == plugin.entry;
  std::printf("the rebuilt library %s the plugin's address\n", reused ? "took" : "did not take");
  ::testing::Test::RecordProperty("address_reused", reused ? "yes" : "no");
  return reused;
}

// Declared first, so that the first query of the process finds the plugin loaded: the symbol
// handler then has the plugin at the address the rebuilt library takes after it.
TEST_F(UnloadedPlugin, QueriedWhileLoadedThenAnotherLibraryAtItsAddress) {
  const std::string path = copy_of(PLUGIN_LIBRARY, "_queried");
  Plugin plugin;
  ResMonitorInfo while_loaded;
  register_and_unload(path, "plugin_register_textures", plugin, [&] {
    ASSERT_EQ(GetObjResource("PluginTexture", &plugin.objects[0], while_loaded), 0);
  });
  ASSERT_NE(first_frame(while_loaded.callStack).find("!plugin_site_one()"), std::string::npos)
      << while_loaded.callStack;

  LoadedLibrary other(PLUGIN_REBUILT_LIBRARY);
  Plugin rebuilt;
  const bool reused = load_rebuilt_after(plugin, other, rebuilt);
  EXPECT_EQ(stacks_of(plugin).at(&plugin.objects[0]), while_loaded.callStack);
  for (const auto& [object, text] : stacks_of(rebuilt)) {
    EXPECT_EQ(text.find("!plugin_"), std::string::npos) << text;
    // The handler's plugin is dropped and the rebuilt library read from its file.
    if (reused) {
      EXPECT_NE(first_frame(text).find("!rebuilt_site_"), std::string::npos) << text;
    }
  }
  if (reused) {
    EXPECT_FALSE(LoadedLibrary::file_mapped(file_name_of(path)))
        << "the handler keeps the plugin's file";
  }
  other.unload();
  fs::remove(path);
}

TEST_F(UnloadedPlugin, StacksNameThePluginAfterAnotherLibraryTookItsAddress) {
  const std::string path = copy_of(PLUGIN_LIBRARY, "_resolved");
  Plugin plugin;
  register_and_unload(path, "plugin_register_textures", plugin);

  LoadedLibrary other(PLUGIN_REBUILT_LIBRARY);
  Plugin rebuilt;
  load_rebuilt_after(plugin, other, rebuilt);

  const std::map<const void*, std::string> stacks = stacks_of(plugin);
  ASSERT_EQ(stacks.size(), static_cast<std::size_t>(kResources));
  const char* const site_names[kSites] = {"plugin_site_one", "plugin_site_two",
                                          "plugin_site_three"};
  int per_site[kSites] = {};
  for (int i = 0; i < kResources; ++i) {
    const std::string& text = stacks.at(&plugin.objects[i]);
    const int site = i % kSites;
    const std::string expected = "plugin_lib.cpp (" + std::to_string(plugin.lines[site]) +
                                 "): " + file_name_of(path) + "!" + site_names[site] + "()";
    per_site[site] += first_frame(text).find(expected) != std::string::npos;
    EXPECT_NE(text.find(file_name_of(path) + "!plugin_register_textures()"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("!rebuilt_"), std::string::npos) << text;
    EXPECT_EQ(text.find("(unloaded)"), std::string::npos) << text;
  }
  EXPECT_EQ(per_site[0], 34);
  EXPECT_EQ(per_site[1], 33);
  EXPECT_EQ(per_site[2], 33);
  ResMonitorInfo one;
  ASSERT_EQ(GetObjResource("PluginTexture", &plugin.objects[1], one), 0);
  EXPECT_EQ(one.callStack, stacks.at(&plugin.objects[1]));
  std::printf("%s", one.callStack.c_str());

  // The library now at the address keeps its own frames, resolved after the plugin's at the
  // same addresses.
  for (const auto& [object, text] : stacks_of(rebuilt)) {
    EXPECT_EQ(text.find("!plugin_"), std::string::npos) << text;
    EXPECT_NE(first_frame(text).find(file_name_of(PLUGIN_REBUILT_LIBRARY) + "!"), std::string::npos)
        << text;
  }
  ASSERT_TRUE(LoadedLibrary::file_mapped(file_name_of(PLUGIN_REBUILT_LIBRARY)))
      << "a loaded library shows as mapped";
  EXPECT_FALSE(LoadedLibrary::file_mapped(file_name_of(path))) << "the plugin's file stays mapped";
  // On Linux its lines come from its separate debug file (see CMakeLists.txt).
  EXPECT_FALSE(LoadedLibrary::file_mapped(file_name_of(PLUGIN_LIBRARY) + ".debug"));
  other.unload();
  fs::remove(path);
}

TEST_F(UnloadedPlugin, StacksShowTheUnloadedFormWhenTheFileIsGoneOrAnotherBuild) {
  const std::string deleted_path = copy_of(PLUGIN_LIBRARY, "_deleted");
  Plugin deleted;
  register_and_unload(deleted_path, "plugin_register_textures", deleted);
  fs::remove(deleted_path);
  const std::string replaced_path = copy_of(PLUGIN_LIBRARY, "_replaced");
  Plugin replaced;
  register_and_unload(replaced_path, "plugin_register_textures", replaced);
  copy_over(PLUGIN_REBUILT_LIBRARY, replaced_path);

  for (const auto& [plugin, path] :
       {std::make_pair(&deleted, deleted_path), std::make_pair(&replaced, replaced_path)}) {
    const std::map<const void*, std::string> stacks = stacks_of(*plugin);
    ASSERT_EQ(stacks.size(), static_cast<std::size_t>(kResources));
    const std::string prefix = "    " + file_name_of(path) + "!+0x";
    const std::string suffix = " (unloaded)\n";
    std::printf("%s", stacks.begin()->second.c_str());
    for (const auto& [object, text] : stacks) {
      const std::string frame = first_frame(text);
      ASSERT_GT(frame.size(), prefix.size() + suffix.size()) << text;
      EXPECT_EQ(frame.substr(0, prefix.size()), prefix) << text;
      EXPECT_EQ(frame.substr(frame.size() - suffix.size()), suffix) << text;
      EXPECT_EQ(frame.substr(prefix.size(), frame.size() - prefix.size() - suffix.size())
                    .find_first_not_of("0123456789ABCDEF"),
                std::string::npos)
          << text;
      EXPECT_EQ(text.find("!plugin_"), std::string::npos) << text;
      EXPECT_EQ(text.find("!rebuilt_"), std::string::npos) << text;
      EXPECT_EQ(text.find("(Module name unavailable)"), std::string::npos) << text;
    }
  }
  EXPECT_FALSE(LoadedLibrary::file_mapped(file_name_of(replaced_path)));
  fs::remove(replaced_path);
}

}  // namespace
