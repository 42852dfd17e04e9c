// The C library's fixed text form of a point in time, without its static buffer.
#pragma once

#include <ctime>
#include <string>

namespace quillmark::platform {

// `time` in local time as ctime() writes it: "Www Mmm dd hh:mm:ss yyyy\n". Thread-safe. A time the
// C library cannot convert gives "?\n".
std::string ctime_text(std::time_t time);

}  // namespace quillmark::platform
