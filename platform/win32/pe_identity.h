// The identity of a PE image from its NT headers, as module_identity.h defines it on Windows: the
// time stamp, the image size and the checksum, read alike from a mapped image and from a file.
#pragma once

#include <cstdint>

#include "platform/module_identity.h"

namespace quillmark::platform::win32 {

// `nt_headers` points at an IMAGE_NT_HEADERS whose signature was checked.
ModuleIdentity pe_identity(const void* nt_headers, std::uint64_t base);

}  // namespace quillmark::platform::win32
