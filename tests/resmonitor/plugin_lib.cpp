// A plugin as a host loads it: it registers textures from three call sites and is unloaded before
// anyone asks where they came from. Built twice (see CMakeLists.txt): the second build has the
// same code at the same offsets under other names, standing for the library that takes the
// plugin's place, or for a new build of the plugin's file.
#include <quillmark/resource_monitor.h>

#if defined(_WIN32)
#define PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#if defined(PLUGIN_REBUILT)
#define PLUGIN_FUNCTION(name) rebuilt_##name
#else
#define PLUGIN_FUNCTION(name) plugin_##name
#endif

namespace {
volatile int last_result = 0;
}  // namespace

// Registers `object` and gives the line of the call. The store after the call keeps it from
// becoming a jump, as any host code that uses the result does.
#define REGISTER_TEXTURE(object) \
  (last_result = resmonitor::AddResource("PluginTexture", object), __LINE__)

extern "C" __attribute__((noinline)) int PLUGIN_FUNCTION(site_one)(void* object) {
  return REGISTER_TEXTURE(object);
}

extern "C" __attribute__((noinline)) int PLUGIN_FUNCTION(site_two)(void* object) {
  return REGISTER_TEXTURE(object);
}

extern "C" __attribute__((noinline)) int PLUGIN_FUNCTION(site_three)(void* object) {
  return REGISTER_TEXTURE(object);
}

// Registers objects[i] from site i % 3 and stores each site's line of the call in lines[site].
PLUGIN_EXPORT void PLUGIN_FUNCTION(register_textures)(int* objects, int count, int* lines) {
  for (int i = 0; i < count; ++i) {
    switch (i % 3) {
      case 0:
        lines[0] = PLUGIN_FUNCTION(site_one)(&objects[i]);
        break;
      case 1:
        lines[1] = PLUGIN_FUNCTION(site_two)(&objects[i]);
        break;
      default:
        lines[2] = PLUGIN_FUNCTION(site_three)(&objects[i]);
        break;
    }
  }
}
