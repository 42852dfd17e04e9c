// Object names of any bytes and length: the name field of a query result, the report's count
// lines and the whole report of a registry filled with such names. The field is always
// terminated and a prefix of the name that does not split a UTF-8 sequence; a count line never
// exceeds its 128-byte buffer and keeps its frame; the report lists each name once in the count
// form and each entry once in the detailed form.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "resmonitor/registry.h"
#include "resmonitor/report_text.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

bool is_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

void check_name_field(const std::string& name) {
  char field[128];
  std::memset(field, 'x', sizeof field);
  resmonitor::copy_object_name(name.c_str(), field);
  const std::size_t length = strnlen(field, sizeof field);
  FUZZ_CHECK(length < sizeof field);
  const std::size_t given = std::strlen(name.c_str());
  FUZZ_CHECK(std::memcmp(field, name.c_str(), length) == 0);
  // Cut only when it had to be, and then not in front of a continuation byte unless the name is
  // not UTF-8 there anyway.
  if (given <= 127) FUZZ_CHECK(length == given);
  if (given > 127) FUZZ_CHECK(length <= 127 && length >= 124);
  for (std::size_t i = length; i < sizeof field; ++i) FUZZ_CHECK(field[i] == '\0');
}

void check_count_line(const std::string& name, int count) {
  const std::string line = resmonitor::count_line(name, count);
  FUZZ_CHECK(line.size() < resmonitor::kReportLineBuffer);
  FUZZ_CHECK(line.rfind("\n[", 0) == 0);
  const std::string tail = "] count:" + std::to_string(count);
  FUZZ_CHECK(line.size() >= tail.size() &&
             line.compare(line.size() - tail.size(), tail.size(), tail) == 0);
  const std::size_t cut = resmonitor::utf8_prefix_length(name.data(), name.size(), 40);
  FUZZ_CHECK(cut <= 40 && cut <= name.size());
  if (cut < name.size() && cut > 0 && cut < 40) FUZZ_CHECK(is_continuation(name[40]));
}

void check_report(FuzzedDataProvider& input, const std::vector<std::string>& names) {
  resmonitor::ResourceMonitor monitor;
  const bool detailed = input.ConsumeBool();
  monitor.SetMonitorInfoLevel(detailed ? resmonitor::MonitorInfoDetail
                                       : resmonitor::MonitorInfoStack);
  static int objects[8];
  // What the registry must hold: names as C strings (up to the first NUL), one entry per name
  // and pointer.
  std::set<std::pair<std::string, void*>> registered;
  for (std::size_t i = 0; i < names.size(); ++i) {
    void* obj = &objects[input.ConsumeIntegralInRange<int>(0, 7)];
    FUZZ_CHECK(monitor.AddResource(names[i].c_str(), obj) == 0);
    registered.emplace(names[i].c_str(), obj);
  }
  const int entries = static_cast<int>(registered.size());
  std::list<resmonitor::ResMonitorInfo> all;
  monitor.GetAllResource(all);
  FUZZ_CHECK(static_cast<int>(all.size()) == entries);

  const std::string report = monitor.build_report();
  FUZZ_CHECK(report.empty() == (entries == 0));
  if (entries > 0) FUZZ_CHECK(report.rfind(detailed ? "\n[0] " : "\n[", 0) == 0);
  monitor.Destroy();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  quillmark::testing::ScopedFakeDebugHelp help;
  quillmark::fuzzing::fill_debug_help(input, *help);

  std::vector<std::string> names;
  const int count = input.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < count; ++i) {
    names.push_back(input.ConsumeRandomLengthString(300));
    check_name_field(names.back());
    check_count_line(names.back(), input.ConsumeIntegral<int>());
  }
  check_report(input, names);
  return 0;
}
