#include "resmonitor/leak_file.h"

#include <quillmark/resource_monitor.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "callstack/describe_stack.h"
#include "callstack/path_text.h"
#include "callstack/symbol_handler.h"
#include "platform/debug_help.h"
#include "platform/file_write.h"

namespace resmonitor {
namespace {

constexpr int kSchemaVersion = 1;
constexpr wchar_t kPathVariable[] = L"QUILLMARK_LEAK_REPORT";

std::mutex g_path_mutex;
std::string g_path;  // guarded by g_path_mutex; empty: the environment decides

std::string environment_path() {
  auto& help = quillmark::platform::debug_help();
  const std::uint32_t size = help.environment_variable(kPathVariable, nullptr, 0);
  if (size == 0) return std::string();
  std::unique_ptr<wchar_t[]> value(new wchar_t[size]());
  const std::uint32_t length = help.environment_variable(kPathVariable, value.get(), size);
  if (length == 0 || length >= size) return std::string();
  return path_text::to_utf8(value.get(), length);
}

std::string pointer_text(void* ptr) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llX",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(ptr)));
  return text;
}

nlohmann::ordered_json frames_json(const ResourceSite& site) {
  nlohmann::ordered_json frames = nlohmann::ordered_json::array();
  for (const FrameRecord& record : describe_pooled_frame_records(*site.store, *site.stack)) {
    frames.push_back({{"module", record.module},
                      {"offset", record.offset},
                      {"function", record.function},
                      {"file", record.file},
                      {"line", record.line},
                      {"inlined", record.inlined}});
  }
  return frames;
}

nlohmann::ordered_json site_json(const ResourceSite& site, bool with_frames) {
  nlohmann::ordered_json examples = nlohmann::ordered_json::array();
  for (std::size_t i = 0; i < site.example_count; ++i) {
    examples.push_back(pointer_text(site.examples[i]));
  }
  // The name stops at an embedded terminator, as everywhere else it is shown.
  const std::string& name = site.group->name;
  return {{"name", name.substr(0, name.find('\0'))},
          {"count", site.count},
          {"oldest", static_cast<std::int64_t>(site.oldest)},
          {"examples", std::move(examples)},
          {"frames", with_frames && site.stack != nullptr ? frames_json(site)
                                                          : nlohmann::ordered_json::array()}};
}

}  // namespace

std::string leak_file_path() {
  {
    std::lock_guard<std::mutex> lock(g_path_mutex);
    if (!g_path.empty()) return g_path;
  }
  return environment_path();
}

std::string leak_file_json(const RegistrySnapshot& snapshot, const std::vector<ResourceSite>& sites,
                           bool with_frames) {
  nlohmann::ordered_json listed = nlohmann::ordered_json::array();
  for (const ResourceSite& site : sites) listed.push_back(site_json(site, with_frames));
  const nlohmann::ordered_json report = {{"format", "quillmark-leak-report"},
                                         {"version", kSchemaVersion},
                                         {"totals",
                                          {{"resources", snapshot.entries().size()},
                                           {"sites", sites.size()},
                                           {"names", snapshot.name_count()}}},
                                         {"sites", std::move(listed)}};
  // Bytes that are not UTF-8 (names are the host's bytes) are written as U+FFFD.
  return report.dump(1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

void write_leak_file(const RegistrySnapshot& snapshot, bool with_frames) {
  const std::string path = leak_file_path();
  if (path.empty()) return;
  const ModuleFilesScope module_files;  // an unloaded module's file is read once
  const std::string text =
      leak_file_json(snapshot, group_by_site(snapshot, with_frames), with_frames);
  if (!quillmark::platform::write_file_replacing(path, text)) {
    report_message(L"resmonitor: cannot write the leak report file %ls\n",
                   path_text::from_utf8(path).c_str());
  }
}

}  // namespace resmonitor

bool SetLeakReportFile(const char* path) {
  std::lock_guard<std::mutex> lock(resmonitor::g_path_mutex);
  resmonitor::g_path = path != nullptr ? path : "";
  return true;
}
