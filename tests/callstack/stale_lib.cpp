// Built twice (see CMakeLists.txt): the two builds have the same code at the same offsets under
// different names, so a frame of one resolved against the file of the other would get a wrong
// name.
#ifndef STALE_FUNCTION
#define STALE_FUNCTION stale_function
#endif

extern "C" __attribute__((visibility("default"), noinline)) int STALE_FUNCTION(int value) {
  asm volatile("" ::: "memory");
  return value * 3 + 1;
}
