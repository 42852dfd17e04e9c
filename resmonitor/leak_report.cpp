#include "resmonitor/leak_report.h"

#include <cstdint>
#include <unordered_map>

#include "callstack/describe_stack.h"
#include "callstack/stack_text.h"
#include "resmonitor/report_text.h"
#include "resmonitor/resource_sites.h"

namespace resmonitor {
namespace {

void append_counts(const RegistrySnapshot& snapshot, std::string& report) {
  const auto& entries = snapshot.entries();
  for (std::size_t first = 0; first < entries.size();) {
    const RegistrySnapshot::Group& group = snapshot.group_of(entries[first]);
    std::size_t end = first + 1;
    while (end < entries.size() && snapshot.group_of(entries[end]).name_rank == group.name_rank) {
      ++end;
    }
    report += count_line(group.name, static_cast<int>(end - first));
    first = end;
  }
}

// The detailed form: each entry's time line, then its stack text normalised. Frame lines are
// normalised already when a stack is resolved (normalising is idempotent), so only the header is
// left: a header ends in "]\n", so no separator run or UTF-8 sequence crosses from it into the
// frames, and the name's part of it is normalised once per name. The report can be large (100,000
// stacks make some 100 MB): its length is counted first, so that it is written into memory
// allocated once.
class DetailedReport {
 public:
  explicit DetailedReport(const RegistrySnapshot& snapshot) : snapshot_(snapshot) {}

  void append_to(std::string& report) {
    std::size_t length = 0;
    visit([&length](const char*, std::size_t size) { length += size; });
    report.reserve(report.size() + length);
    visit([&report](const char* text, std::size_t size) { report.append(text, size); });
  }

 private:
  // Calls write(text, size) for each piece of the report, in order.
  template <typename Write>
  void visit(Write&& write) {
    int index = 0;
    const RegistrySnapshot::Group* named = nullptr;
    for (const RegistrySnapshot::Entry& entry : snapshot_.entries()) {
      const RegistrySnapshot::Group& group = snapshot_.group_of(entry);
      if (named == nullptr || named->name_rank != group.name_rank) {
        index = 0;
        named = &group;
        name_prefix_ = header_prefix(group.name);
      }
      const std::string& line = time_line(index++, entry.created);
      write(line.data(), line.size());
      if (entry.stack == nullptr) continue;
      char pointer[18];
      write_pointer(entry.obj, pointer);
      write(name_prefix_.data(), name_prefix_.size());
      write(pointer, sizeof pointer);
      const std::string& frames = frames_of(snapshot_.store_of(entry), *entry.stack);
      write(frames.data(), frames.size());
    }
  }

  // "Frame <name>[" as the normalised header starts.
  static std::string header_prefix(const std::string& name) {
    std::string header = stack_header(name, nullptr);
    header.resize(header.size() - 18);  // the pointer's 16 digits, "]" and the line feed
    return normalize_stack_text(header);
  }

  // The pointer's 16 upper-case hex digits, "]" and the line feed that end a header.
  static void write_pointer(void* ptr, char (&out)[18]) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(ptr));
    for (int digit = 0; digit < 16; ++digit)
      out[digit] = kHexDigits[(value >> (60 - 4 * digit)) & 0xF];
    out[16] = ']';
    out[17] = '\n';
  }

  const std::string& time_line(int index, std::time_t created) {
    // Entries made within one second share the text of their time.
    if (created != last_time_ || last_time_text_.empty()) {
      last_time_ = created;
      last_time_text_ = detail_line(0, created).substr(4);  // after "\n[0]"
    }
    line_ = "\n[";
    line_ += std::to_string(index);
    line_ += ']';
    line_ += last_time_text_;
    return line_;
  }

  const std::string& frames_of(CStackInfo& store, PooledStack& stack) {
    auto [found, added] = frames_.try_emplace(&stack);
    if (added) found->second = describe_pooled_frames(store, stack);
    return found->second;
  }

  const RegistrySnapshot& snapshot_;
  std::string name_prefix_;
  std::time_t last_time_ = 0;
  std::string last_time_text_;
  std::string line_;
  std::unordered_map<const PooledStack*, std::string> frames_;
};

void append_sites(const RegistrySnapshot& snapshot, std::string& report) {
  const std::vector<ResourceSite> sites = group_by_site(snapshot);
  int index = 0;
  for (const ResourceSite& site : sites) {
    report += site_line(index++, site.group->name, site.count, site.oldest);
    report += site.frames;  // normalised when the stack was resolved
  }
  report += summary_line(snapshot.entries().size(), sites.size(), snapshot.name_count());
}

}  // namespace

std::string leak_report_text(const RegistrySnapshot& snapshot, MonitorInfoLevel form,
                             bool grouped) {
  std::string report;
  if (snapshot.entries().empty()) return report;
  const ModuleFilesScope module_files;  // an unloaded module's file is read once per report
  if ((form & MonitorInfoDetail) == 0) {
    append_counts(snapshot, report);
  } else if (grouped) {
    append_sites(snapshot, report);
  } else {
    DetailedReport(snapshot).append_to(report);
  }
  return report;
}

}  // namespace resmonitor
