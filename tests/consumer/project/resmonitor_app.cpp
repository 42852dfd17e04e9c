// A host that uses the resource monitor alone. Exits 0 when its registration comes back with a
// call stack that names this program's own function.
#include <quillmark/resource_monitor.h>

#include <cstdio>
#include <list>

int main() {
  int resource = 0;
  resmonitor::CreateResMonitor(resmonitor::MonitorInfoStack);
  resmonitor::AddResource("Resource", &resource);
  std::list<resmonitor::ResMonitorInfo> all;
  resmonitor::GetAllResource(all);
  resmonitor::DestroyResMonitor();
  if (all.size() != 1) return 1;
  const std::string& stack = all.front().callStack;
  if (stack.rfind("Frame Resource[", 0) != 0) return 2;
  // The host's frames resolve: its symbols are readable where it was installed.
  if (stack.find("!main(") == std::string::npos) {
    std::fputs(stack.c_str(), stderr);
    return 3;
  }
  std::puts("resmonitor_app: ok");
  return 0;
}
