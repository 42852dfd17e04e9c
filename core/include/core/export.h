// Export markers of the host's base library `core`.
//
// The types of the base library are shared by two binaries: the base library itself exports
// some of their members (CORE_API) and quillmark builds and exports the others (QUILLMARK_API,
// from quillmark/export.h). The base library's build defines CORE_BUILDING_LIBRARY.
#pragma once

#include <quillmark/export.h>

#if defined(_WIN32)
#if defined(CORE_BUILDING_LIBRARY)
#define CORE_API __declspec(dllexport)
#else
#define CORE_API __declspec(dllimport)
#endif
#else
#define CORE_API __attribute__((visibility("default")))
#endif
