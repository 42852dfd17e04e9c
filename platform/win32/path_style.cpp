#include "platform/path_style.h"

namespace quillmark::platform {

PathStyle native_path_style() { return PathStyle::windows; }

}  // namespace quillmark::platform
