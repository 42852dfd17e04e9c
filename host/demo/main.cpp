// A small media-editing session played against quillmark and the base library: resources with
// call stacks (a few of them leaked on purpose), long tasks under freeze tracers, a listener for
// freeze events on the global bus, and the leak reports of the resource monitor.
#include <quillmark/freeze_monitor.h>
#include <quillmark/pile_dispatcher.h>
#include <quillmark/resource_monitor.h>

#include <core/async_event_bus.h>
#include <core/log.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__GNUC__)
#define DEMO_NOINLINE __attribute__((noinline))
#else
#define DEMO_NOINLINE
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  bool quiet = false;
  bool grouped = false;
  const char* leak_file = nullptr;
  int level = 6;
};

const char kUsage[] =
    "usage: quillmark_demo [--quiet] [--level N] [--grouped] [--leak-file PATH] [--help]\n"
    "  --level N         resource monitor level: 1 stacks, 2 stacks + detailed reports, 4 check\n"
    "                    thread; combine by adding (default 6)\n"
    "  --grouped         detailed reports list each call site once, with its count\n"
    "  --leak-file PATH  also write the final leak report to PATH as JSON\n"
    "  --quiet           hide the library's log lines; print only the summary\n";

bool parse_options(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--grouped") {
      options.grouped = true;
    } else if (arg == "--leak-file" && i + 1 < argc) {
      options.leak_file = argv[++i];
    } else if (arg == "--level" && i + 1 < argc) {
      char* end = nullptr;
      const long level = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || level < 0 || level > 7) return false;
      options.level = static_cast<int>(level);
    } else {
      return false;
    }
  }
  return true;
}

// Forwards the library's log lines to stdout (unless quiet) and counts what the summary needs.
class SessionLog {
 public:
  explicit SessionLog(bool quiet) : quiet_(quiet) { core::SetLogSink(&SessionLog::sink, this); }
  ~SessionLog() { core::SetLogSink(nullptr, nullptr); }

  using Match = bool (*)(const std::string& text);

  // Waits until a line matching `match` was logged, or `timeout` passes.
  bool wait_for(Match match, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return count_locked(match) > 0; });
  }
  int count(Match match) {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_locked(match);
  }
  // The first line matching `match`, or "".
  std::string first(Match match) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& text : texts_) {
      if (match(text)) return text;
    }
    return std::string();
  }

 private:
  static void sink(const core::LogRecord& record, void* context) {
    auto* self = static_cast<SessionLog*>(context);
    if (!self->quiet_) {
      std::printf("[log %s%s%s level %d] %s\n", record.logger, record.logger[0] ? "/" : "",
                  record.module, record.level, record.text);
      std::fflush(stdout);
    }
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->texts_.emplace_back(record.text);
    }
    self->changed_.notify_all();
  }
  int count_locked(Match match) const {
    int seen = 0;
    for (const auto& text : texts_) seen += match(text) ? 1 : 0;
    return seen;
  }

  const bool quiet_;
  std::mutex mutex_;  // guards texts_
  std::condition_variable changed_;
  std::vector<std::string> texts_;
};

bool contains(const std::string& text, const char* fragment) {
  return text.find(fragment) != std::string::npos;
}
bool is_timed_out_line(const std::string& text) { return contains(text, "task has timed out"); }
bool is_freezed_line(const std::string& text) { return contains(text, "task has freezed"); }
bool is_frozen_stack(const std::string& text) { return text.rfind("frozen thread ", 0) == 0; }
bool is_final_report(const std::string& text) { return contains(text, "Resource leak list"); }
// Periodic reports start with a newline: "[name] count:n" lines, or "[0] <time>" detail lines.
bool is_periodic_report(const std::string& text) {
  return !text.empty() && text[0] == '\n' &&
         (contains(text, "] count:") || contains(text, "\n[0] "));
}

// --- Resources, each kind registered from its own call site --------------------------------

struct Texture {
  int width, height;
};
struct Decoder {
  std::string codec;
};
struct EffectInstance {
  std::string name;
};

DEMO_NOINLINE Texture* load_texture(int width, int height) {
  auto* texture = new Texture{width, height};
  resmonitor::AddResource("Texture", texture);
  return texture;
}

DEMO_NOINLINE void free_texture(Texture* texture) {
  resmonitor::RemoveResource("Texture", texture);
  delete texture;
}

DEMO_NOINLINE Decoder* open_video_decoder(const char* codec) {
  auto* decoder = new Decoder{codec};
  resmonitor::AddResource("VideoDecoder", decoder);
  return decoder;
}

DEMO_NOINLINE void close_video_decoder(Decoder* decoder) {
  resmonitor::RemoveResource("VideoDecoder", decoder);
  delete decoder;
}

DEMO_NOINLINE EffectInstance* create_effect(const char* name) {
  auto* effect = new EffectInstance{name};
  resmonitor::AddResource("EffectInstance", effect);
  return effect;
}

DEMO_NOINLINE void destroy_effect(EffectInstance* effect) {
  resmonitor::RemoveResource("EffectInstance", effect);
  delete effect;
}

// Opens a timeline's worth of resources and closes most of them; returns the ones "forgotten".
struct Leaks {
  Texture* texture;
  Decoder* decoder;
  EffectInstance* effect;
};

DEMO_NOINLINE Leaks edit_timeline() {
  std::vector<Texture*> textures;
  for (int i = 0; i < 4; ++i) textures.push_back(load_texture(1920 >> i, 1080 >> i));
  Decoder* h264 = open_video_decoder("h264");
  Decoder* prores = open_video_decoder("prores");
  EffectInstance* blur = create_effect("gaussian-blur");
  EffectInstance* grade = create_effect("colour-grade");

  for (int i = 1; i < 4; ++i) free_texture(textures[static_cast<std::size_t>(i)]);
  close_video_decoder(h264);
  destroy_effect(grade);
  return {textures[0], prores, blur};
}

void release(const Leaks& leaks) {
  delete leaks.texture;
  delete leaks.decoder;
  delete leaks.effect;
}

void show_one_stack(const Leaks& leaks) {
  resmonitor::ResMonitorInfo info{};
  if (resmonitor::GetObjResource("Texture", leaks.texture, info) != 0) {
    std::printf("GetObjResource: the texture is not registered (level 0 records nothing)\n");
    return;
  }
  std::printf("\nGetObjResource(\"Texture\", %p):\n%s\n", static_cast<void*>(leaks.texture),
              info.callStack.empty() ? "  (no call stack at this level)" : info.callStack.c_str());
}

// --- Long tasks under freeze tracers ----------------------------------------------------------

struct FreezeTally {
  std::atomic<int> timed_out_events{0};
  std::atomic<int> frozen_events{0};
};

int listen_for_freezes(FreezeTally& tally) {
  return core::GetGlobalEventBus().listen<FreezeEvent>([&tally](const FreezeEvent& event) {
    const bool frozen = event.kind == 1;
    (frozen ? tally.frozen_events : tally.timed_out_events)++;
    std::printf("listener: FreezeEvent kind %d (%s), type %d, url \"%s\", use_gpu %d\n", event.kind,
                frozen ? "freezed" : "timed out", static_cast<int>(event.event_type),
                event.url ? event.url : "", event.use_gpu ? 1 : 0);
    std::fflush(stdout);
  });
}

void run_task(std::chrono::milliseconds duration,
              const std::function<std::shared_ptr<void>()>& trace) {
  std::shared_ptr<void> tracer = trace();
  std::this_thread::sleep_for(duration);
}

// The task that freezes: its report shows this function as where it hangs.
DEMO_NOINLINE void render_gaussian_blur(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

void run_render_task(std::chrono::milliseconds duration, freezemonitor::FreezeMonitor* monitor) {
  auto tracer = monitor->CreateEffectRenderTracer("fx://gaussian-blur", 1);
  render_gaussian_blur(duration);
}

void run_long_tasks(SessionLog& log) {
  using std::chrono::milliseconds;
  freezemonitor::FreezeMonitor* monitor = GetFreezeMonitor();
  monitor->SetThresholds(/*freeze_ms=*/1500, /*timeout_ms=*/700);
  monitor->SetTimeoutEventEnabled(true);
  // Frozen tasks are reported with the stack of their thread.
  SetFreezeStackCaptureEnabled(true);
  std::vector<std::thread> tasks;
  tasks.emplace_back(run_task, milliseconds(150), [monitor] {
    return std::shared_ptr<void>(monitor->CreateGetMediaInfoTracer("D:/media/clip01.mp4"));
  });
  tasks.emplace_back(run_task, milliseconds(1100), [monitor] {
    return std::shared_ptr<void>(monitor->CreateVideoOpenDecoderTracer("D:/media/clip02.mov", 1));
  });
  tasks.emplace_back(run_render_task, milliseconds(2200), monitor);
  for (auto& task : tasks) task.join();
  log.wait_for(is_freezed_line, std::chrono::seconds(10));
  core::GetGlobalEventBus().waitUntilIdle(std::chrono::seconds(10));
}

// --- Summary ------------------------------------------------------------------------------------

// The name of this source file, which every frame of the demo's own code shows.
std::string demo_source_name() {
  const std::string path = __FILE__;
  return path.substr(path.find_last_of("/\\") + 1) + " (";
}

// The first `count` frames of a stack text that belong to the demo itself (not to the standard
// library it instantiates, nor to the run-time and thread code linked into it), trimmed: for a
// registration, the call that registered the resource and its callers.
std::vector<std::string> demo_call_sites(const std::string& stack, std::size_t count) {
  std::vector<std::string> sites;
  const std::string source = demo_source_name();
  std::size_t start = 0;
  while (start < stack.size() && sites.size() < count) {
    std::size_t end = stack.find('\n', start);
    if (end == std::string::npos) end = stack.size();
    std::string line = stack.substr(start, end - start);
    if (line.rfind("Frame ", 0) != 0 && line.find("quillmark_demo") != std::string::npos &&
        line.find(source) != std::string::npos && line.find("std::") == std::string::npos) {
      sites.push_back(line.substr(line.find_first_not_of(' ')));
    }
    start = end + 1;
  }
  if (sites.empty()) sites.emplace_back("(no call stack)");
  return sites;
}

void print_summary(const std::list<resmonitor::ResMonitorInfo>& leaked, SessionLog& log,
                   const FreezeTally& tally) {
  std::printf("\n==== Session summary ====\n");
  std::printf("Leaked resources: %zu\n", leaked.size());
  for (const auto& info : leaked) {
    const std::vector<std::string> sites = demo_call_sites(info.callStack, 2);
    char head[96];
    const int indent = std::snprintf(head, sizeof head, "  %-15s %p  ", info.objName, info.obj);
    std::printf("%s%s\n", head, sites.front().c_str());
    for (std::size_t i = 1; i < sites.size(); ++i) {
      std::printf("%*s%s\n", indent, "", sites[i].c_str());
    }
  }
  std::printf("Tasks timed out: %d (events %d)\n", log.count(is_timed_out_line),
              tally.timed_out_events.load());
  std::printf("Tasks frozen:    %d (events %d)\n", log.count(is_freezed_line),
              tally.frozen_events.load());
  std::printf("Leak reports:    %d periodic, %d final\n", log.count(is_periodic_report),
              log.count(is_final_report));
  std::printf("Frozen task at:  %s\n",
              demo_call_sites(log.first(is_frozen_stack), 1).front().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  SessionLog log(options.quiet);
  std::printf("quillmark demo host: resource monitor level %d\n", options.level);

  SetLeakReportGroupedBySite(options.grouped);
  if (options.leak_file != nullptr) SetLeakReportFile(options.leak_file);
  resmonitor::CreateResMonitor(static_cast<resmonitor::MonitorInfoLevel>(options.level));
  const Leaks leaks = edit_timeline();
  show_one_stack(leaks);

  FreezeTally tally;
  const int token = listen_for_freezes(tally);
  run_long_tasks(log);

  std::list<resmonitor::ResMonitorInfo> leaked;
  resmonitor::GetAllResource(leaked);
  if (options.level & 4) {
    std::printf("\nwaiting for the periodic leak report (quiet period 5 s)...\n");
    std::fflush(stdout);
    if (!log.wait_for(is_periodic_report, std::chrono::seconds(12))) {
      std::printf("no periodic report arrived\n");
    }
  }
  resmonitor::DestroyResMonitor();
  core::GetGlobalEventBus().unlistenAll(token);
  core::GetGlobalEventBus().waitUntilIdle(std::chrono::seconds(5));

  print_summary(leaked, log, tally);
  release(leaks);
  return 0;
}
