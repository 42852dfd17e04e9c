// The text of a stack taken from another thread (a frozen task's), in the frame-line format of
// resource stacks.
#pragma once

#include <cstdint>
#include <string>

namespace resmonitor {

// Up to `max_frames` lines, one per frame, from the innermost frame that is not in this library
// (capture machinery), resolved like resource stacks and in UTF-8. Frames are program counters,
// innermost first. Serialised with every other resolution (resolution_mutex); the first call in
// the process starts a symbol handler and loads module symbols.
std::string describe_thread_stack(const std::uint64_t* frames, std::uint32_t count,
                                  std::uint32_t max_frames);

}  // namespace resmonitor
