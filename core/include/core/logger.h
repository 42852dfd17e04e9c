// Base of the host's named loggers. The dispatch table is exported by quillmark.
#pragma once

#include <core/export.h>

namespace core {

class QUILLMARK_API Logger {
 public:
  Logger();
  Logger(const Logger& other);
  Logger& operator=(const Logger& other);

  // Writes one formatted line; the base library's loggers implement it.
  virtual void Write(int level, const char* module, const char* text) = 0;

 protected:
  virtual ~Logger();
};

}  // namespace core
