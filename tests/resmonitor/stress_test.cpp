// Randomised use of the resource monitor and the freeze monitor from 2, 4 and 8 threads at once:
// adds, removes, queries, lists, level changes (starting and stopping the check thread), creation
// and destruction, under awkward names (empty, 200 bytes, not UTF-8), and tracers of every kind
// while the thresholds change. After each round the threads stop and the registry is compared
// with a model of what every thread added and did not remove.
//
// Each thread draws from its own generator, seeded from the round's seed (QM_STRESS_SEED, or a
// fixed one): a failure names the seed, and a run with that seed makes the same calls (their
// interleaving is the scheduler's). The amount of work is fixed; nothing depends on how long it
// takes. Meant for the address and thread sanitizers as much as for the plain build.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <list>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "freezemonitor/freeze_monitor_impl.h"
#include "resmonitor/registry.h"
#include "resmonitor/report_text.h"
#include "support/log_capture.h"
#include "tests/resmonitor/manual_timing.h"

namespace resmonitor {
namespace {

constexpr int kRounds = 3;
// Split among the threads of a run, so every thread count does the same amount of work.
constexpr int kOperationsPerRound = 1600;
constexpr int kObjectsPerThread = 24;

// Every reading of the clock is ten seconds after the previous one, so every pass of the check
// thread after a change finds the registry quiet and reports: reports race with everything else.
// The pause keeps the reports (which hold the registry) from taking all of its time.
class LeapingTiming final : public CheckTiming {
 public:
  std::int64_t now_us() override { return now_.fetch_add(10'000'000) + 10'000'000; }
  void wait_between_passes(std::condition_variable& wake,
                           const std::atomic<bool>& stop_requested) override {
    std::mutex pause_mutex;
    std::unique_lock<std::mutex> lock(pause_mutex);
    if (!stop_requested.load()) wake.wait_for(lock, std::chrono::milliseconds(10));
  }

 private:
  std::atomic<std::int64_t> now_{1'700'000'000'000'000};
};

// The names every thread picks from: shared by all threads, so groups are contended.
const std::vector<std::string>& names() {
  static const std::vector<std::string> all = {
      "",
      "Texture",
      "texture",
      std::string(200, 'L'),
      std::string(199, 'L') + "M",       // the same first 127 bytes as the one before
      std::string(66, '\0') + "hidden",  // as a C string: empty
      "\xff\xfe not UTF-8 \xc3",
      [] {
        std::string text;
        while (text.size() < 200) text += "\xe6\x96\x87";  // a three-byte character
        return text;
      }(),
  };
  return all;
}

// What a query shows of a name: the C string, cut to the 127-byte field.
std::string shown_name(const std::string& name) {
  char field[128];
  copy_object_name(name.c_str(), field);
  return field;
}

using Key = std::pair<std::string, void*>;  // (name as a C string, pointer)

// One thread's registrations: its pointers belong to it alone, so its model is exact as long as
// nobody clears the registry.
struct ThreadModel {
  std::vector<int> objects = std::vector<int>(kObjectsPerThread);
  std::set<Key> registered;
};

MonitorInfoLevel random_recording_level(std::mt19937& random) {
  // Every level that records: stacks or not, detail or not, check thread or not.
  static const unsigned kLevels[] = {1, 2, 3, 4, 5, 6, 7, 8, 12};
  return static_cast<MonitorInfoLevel>(kLevels[random() % std::size(kLevels)]);
}

void check_query(ResourceMonitor& monitor, const Key& key, bool expected) {
  ResMonitorInfo info;
  const int result = monitor.GetObjResource(key.first.c_str(), key.second, info);
  ASSERT_EQ(result, expected ? 0 : -1) << "name of " << key.first.size() << " bytes";
  if (!expected) return;
  EXPECT_EQ(info.obj, key.second);
  EXPECT_EQ(std::string(info.objName), shown_name(key.first));
  if (!info.callStack.empty()) {
    EXPECT_EQ(info.callStack.rfind("Frame ", 0), 0u);
  }
}

// The operations of the modelled phase: nothing here clears the registry.
void modelled_operation(ResourceMonitor& monitor, ThreadModel& model, std::mt19937& random) {
  const std::string& name = names()[random() % names().size()];
  void* obj = &model.objects[random() % model.objects.size()];
  const Key key{name.c_str(), obj};
  // Lists resolve and convert the text of every stack, so they come rarely, as in a host.
  const auto pick = random() % 32;
  switch (pick) {
    case 0:
      monitor.SetMonitorInfoLevel(random_recording_level(random));
      break;
    case 1:
      monitor.start_check(random_recording_level(random));  // CreateResMonitor
      break;
    case 2: {
      std::list<ResMonitorInfo> listed;
      monitor.GetAllResource(listed);
      break;
    }
    case 3: {
      std::list<ResMonitorInfo> listed;
      monitor.GetObjNameResource(name.c_str(), listed);
      const std::size_t own = static_cast<std::size_t>(
          std::count_if(model.registered.begin(), model.registered.end(),
                        [&](const Key& registered) { return registered.first == key.first; }));
      EXPECT_GE(listed.size(), own);  // others may have more under the same name
      break;
    }
    case 4:
    case 5:
      check_query(monitor, key, model.registered.count(key) != 0);
      break;
    default:  // removals from 6 to 15, adds from 16 to 31
      if (pick < 16) {
        EXPECT_EQ(monitor.RemoveResource(name.c_str(), obj), 0);
        model.registered.erase(key);
      } else {
        EXPECT_EQ(monitor.AddResource(name.c_str(), obj), 0);
        model.registered.insert(key);
      }
  }
}

// Anything goes, clearing included; the model is rebuilt afterwards.
void unmodelled_operation(ResourceMonitor& monitor, ThreadModel& model, std::mt19937& random) {
  const std::string& name = names()[random() % names().size()];
  void* obj = &model.objects[random() % model.objects.size()];
  switch (random() % 12) {
    case 0:
      monitor.Destroy();
      break;
    case 1:
      monitor.SetMonitorInfoLevel(MonitorInfoNone);
      break;
    case 2:
      monitor.start_check(random_recording_level(random));
      break;
    case 3: {
      ResMonitorInfo info;
      monitor.GetObjResource(name.c_str(), obj, info);
      break;
    }
    case 4:
    case 5:
    case 6:
      monitor.RemoveResource(name.c_str(), obj);
      break;
    default:
      monitor.AddResource(name.c_str(), obj);
  }
}

// Tracers of every kind, created and released out of order while the thresholds change; the
// thresholds go low enough for the watchdog to report some of them.
void tracer_operations(std::mt19937& random, int count) {
  freezemonitor::FreezeMonitor* monitor = GetFreezeMonitor();
  std::vector<std::shared_ptr<freezemonitor::FreezeTracer>> held;
  for (int i = 0; i < count; ++i) {
    switch (random() % 6) {
      case 0:
        monitor->SetThresholds(random() % 4, random() % 3);
        break;
      case 1:
        monitor->SetThresholds(60'000, 30'000);
        break;
      case 2:
        if (!held.empty()) held.erase(held.begin() + random() % held.size());
        break;
      case 3:
        held.push_back(monitor->CreateEffectRenderTracer("fx://" + std::to_string(i), 1));
        break;
      case 4:
        held.push_back(monitor->CreateFreezeTracer(
            static_cast<freezemonitor::EventType>(random() % 20), i, -i));
        break;
      default:
        held.push_back(monitor->CreateGetMediaInfoTracer(std::string(200, 'u')));
    }
  }
}

std::multiset<Key> listed_keys(ResourceMonitor& monitor) {
  std::list<ResMonitorInfo> listed;
  monitor.GetAllResource(listed);
  std::multiset<Key> keys;
  for (const ResMonitorInfo& info : listed) keys.emplace(info.objName, info.obj);
  return keys;
}

std::multiset<Key> expected_keys(const std::vector<ThreadModel>& models) {
  std::multiset<Key> keys;
  for (const ThreadModel& model : models) {
    for (const Key& key : model.registered) keys.emplace(shown_name(key.first), key.second);
  }
  return keys;
}

void run_threads(int count, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
  for (auto& thread : threads) thread.join();
}

unsigned base_seed() {
  const char* text = std::getenv("QM_STRESS_SEED");
  return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 20261205u;
}

class Stress : public ::testing::TestWithParam<int> {};

TEST_P(Stress, RegistryMatchesTheModelAfterEveryRound) {
  const int threads = GetParam();
  const int operations = kOperationsPerRound / threads;
  quillmark::testing::LogCapture capture;  // outlives the monitor and its check thread
  ResourceMonitor monitor(std::make_shared<LeapingTiming>());
  std::vector<ThreadModel> models(static_cast<std::size_t>(threads));

  for (int round = 0; round < kRounds; ++round) {
    const unsigned seed = base_seed() + static_cast<unsigned>(round * 100 + threads);
    SCOPED_TRACE("QM_STRESS_SEED=" + std::to_string(base_seed()) + " round " +
                 std::to_string(round));
    monitor.start_check(static_cast<MonitorInfoLevel>(MonitorInfoCheck | MonitorInfoStack));

    // Modelled phase: the registry must end up as the union of the threads' models.
    run_threads(threads, [&](int index) {
      std::mt19937 random(seed + static_cast<unsigned>(index));
      ThreadModel& model = models[static_cast<std::size_t>(index)];
      for (int i = 0; i < operations; ++i) modelled_operation(monitor, model, random);
      tracer_operations(random, 50);
    });
    EXPECT_EQ(listed_keys(monitor), expected_keys(models));
    for (const ThreadModel& model : models) {
      for (const Key& key : model.registered) check_query(monitor, key, true);
    }

    // Unmodelled phase, then a destroy once everybody stopped: nothing may survive it.
    run_threads(threads, [&](int index) {
      std::mt19937 random(seed * 7 + static_cast<unsigned>(index));
      for (int i = 0; i < operations / 4; ++i) {
        unmodelled_operation(monitor, models[static_cast<std::size_t>(index)], random);
      }
    });
    monitor.Destroy();
    EXPECT_TRUE(listed_keys(monitor).empty());
    EXPECT_FALSE(monitor.check_thread_running());
    for (ThreadModel& model : models) model.registered.clear();
  }

  // Every tracer is released: the watchdog may still hold finished records, but none running.
  for (const auto& record : freezemonitor::freeze_monitor().records_snapshot()) {
    EXPECT_NE(record.state, freezemonitor::TraceRecord::kRunning) << "tracer " << record.id;
  }
  GetFreezeMonitor()->SetThresholds(5000, 3000);
}

// A name that was known before a clear() and is added while it runs: if its entry outlives the
// clear, the add came after the registry was emptied, so the name was new again and its add
// stamped the change (and started the symbol handler for it).
TEST(StressClear, ANameAddedDuringAClearIsStampedAgain) {
  auto timing = std::make_shared<testing::ManualTiming>(0);
  ResourceMonitor monitor(timing);
  // The check bit, so that changes are stamped; clear() stops the thread it starts.
  monitor.SetMonitorInfoLevel(static_cast<MonitorInfoLevel>(8 | MonitorInfoCheck));
  int first = 0;
  int racing = 0;
  ResMonitorInfo info;
  for (std::int64_t round = 1; round <= 3000; ++round) {
    monitor.AddResource("Known", &first);
    timing->set_now(round);
    run_threads(2, [&](int index) {
      if (index == 0) {
        monitor.clear();
      } else {
        monitor.AddResource("Known", &racing);
      }
    });
    if (monitor.GetObjResource("Known", &racing, info) != 0) continue;
    ASSERT_EQ(monitor.last_change(), round) << "round " << round;
    monitor.clear();
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, Stress, ::testing::Values(2, 4, 8));

}  // namespace
}  // namespace resmonitor
