#include "names/frame_lines_lib.h"

#include <functional>

#define QM_SAMPLE __attribute__((noinline, noclone))
#define QM_KEEP_FRAME() asm volatile("" ::: "memory")

namespace frame_lines {

namespace {

// Marks the branch that calls it as never taken, so GCC moves that branch to a cold part.
__attribute__((noinline, cold)) void note_rare(int& line) {
  QM_KEEP_FRAME();
  line = 0;
}

template <typename Step>
QM_SAMPLE int apply(Step step) {
  int value = 1;
  return step(&value);
}

QM_SAMPLE int call_through_function(Callback callback, int& line) {
  std::function<int()> call = [callback, &line] {
    line = __LINE__ + 1;
    callback();
    return 2;
  };
  return call() + 1;
}

}  // namespace

QM_SAMPLE int run_cold(Callback callback, int value, int& line) {
  if (__builtin_expect(value == 42, 0)) {
    note_rare(line);
    line = __LINE__ + 1;
    callback();
    return value + 1;
  }
  return value * 3;
}

QM_SAMPLE int run_first_statement(Callback callback) {
  callback();
  return __LINE__ - 1;
}

QM_SAMPLE int run_generic_lambda(Callback callback, int& line) {
  return apply([callback, &line](auto* value) {
    line = __LINE__ + 1;
    callback();
    return *value;
  });
}

QM_SAMPLE int run_through_function(Callback callback, int& line) {
  return call_through_function(callback, line) + 1;
}

QM_SAMPLE int run_unreadable(Callback callback, int& line) {
  line = __LINE__ + 1;
  callback();
  QM_KEEP_FRAME();
  return 1;
}

}  // namespace frame_lines
