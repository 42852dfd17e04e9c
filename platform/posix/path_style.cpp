#include "platform/path_style.h"

namespace quillmark::platform {

PathStyle native_path_style() { return PathStyle::posix; }

}  // namespace quillmark::platform
