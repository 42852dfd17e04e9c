// Export markers of the quillmark library.
//
// Everything is hidden by default on both targets; QUILLMARK_API marks what the host links
// against. Code that builds quillmark defines QUILLMARK_BUILDING_LIBRARY.
#pragma once

#if defined(_WIN32)
#if defined(QUILLMARK_BUILDING_LIBRARY)
#define QUILLMARK_API __declspec(dllexport)
#else
#define QUILLMARK_API __declspec(dllimport)
#endif
#else
#define QUILLMARK_API __attribute__((visibility("default")))
#endif

#define QUILLMARK_C_API extern "C" QUILLMARK_API
