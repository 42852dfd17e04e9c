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

void append_pointer(std::string& text, void* ptr) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(ptr));
  for (int shift = 60; shift >= 0; shift -= 4) text += kHexDigits[(value >> shift) & 0xF];
}

// The detailed form normalises each entry's whole stack text. A header ends in "]\n" and frame
// lines start with blanks, so no separator run or UTF-8 sequence crosses from one piece to the
// next: the name's part of the header and each distinct stack are normalised once, and entries
// put the pieces together.
class DetailedReport {
 public:
  explicit DetailedReport(std::string& report) : report_(report) {}

  void append(const RegistrySnapshot& snapshot) {
    int index = 0;
    const RegistrySnapshot::Group* named = nullptr;
    for (const RegistrySnapshot::Entry& entry : snapshot.entries()) {
      const RegistrySnapshot::Group& group = snapshot.group_of(entry);
      if (named == nullptr || named->name_rank != group.name_rank) {
        index = 0;
        named = &group;
        name_prefix_ = header_prefix(group.name);
      }
      report_ += time_line(index++, entry.created);
      if (entry.stack == nullptr) continue;
      report_ += name_prefix_;
      append_pointer(report_, entry.obj);
      report_ += "]\n";
      report_ += frames_of(group, *entry.stack);
    }
  }

 private:
  // "Frame <name>[" as the normalised header starts.
  static std::string header_prefix(const std::string& name) {
    std::string header = stack_header(name, nullptr);
    header.resize(header.size() - 18);  // the pointer's 16 digits, "]" and the line feed
    return normalize_stack_text(header);
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

  const std::string& frames_of(const RegistrySnapshot::Group& group, PooledStack& stack) {
    auto [found, added] = frames_.try_emplace(&stack);
    if (added) found->second = normalize_stack_text(describe_pooled_frames(*group.store, stack));
    return found->second;
  }

  std::string& report_;
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
    report += normalize_stack_text(site.frames);
  }
  report += summary_line(snapshot.entries().size(), sites.size(), snapshot.name_count());
}

}  // namespace

std::string leak_report_text(const RegistrySnapshot& snapshot, MonitorInfoLevel form,
                             bool grouped) {
  std::string report;
  if (snapshot.entries().empty()) return report;
  if ((form & MonitorInfoDetail) == 0) {
    append_counts(snapshot, report);
  } else if (grouped) {
    append_sites(snapshot, report);
  } else {
    DetailedReport(report).append(snapshot);
  }
  return report;
}

}  // namespace resmonitor
