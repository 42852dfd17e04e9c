// The text of a stack as Boost.Stacktrace makes it with its libbacktrace back end: function,
// file and line of each frame, the usual library way of doing what a query does.
#define BOOST_STACKTRACE_USE_BACKTRACE
#include <boost/stacktrace.hpp>

#include <cstddef>
#include <string>

namespace quillmark::bench {

std::string libbacktrace_text(void* const* frames, std::size_t count) {
  const auto stack = boost::stacktrace::stacktrace::from_dump(frames, count * sizeof(void*));
  return boost::stacktrace::to_string(stack);
}

}  // namespace quillmark::bench
