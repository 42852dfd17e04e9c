// Base of the host's named loggers. The dispatch table is exported by quillmark.
//
// The slot order is the base library's and must not change: the destructor first (two slots
// under the Itanium C++ ABI that both targets use), then Write. A host compiled against its own
// copy of this declaration reaches the same slots.
#pragma once

#include <core/export.h>

namespace core {

class QUILLMARK_API Logger {
 public:
  Logger();
  Logger(const Logger& other);
  Logger& operator=(const Logger& other);

 protected:
  virtual ~Logger();

 public:
  // Writes one formatted line; the base library's loggers implement it.
  virtual void Write(int level, const char* module, const char* text) = 0;
};

}  // namespace core
