// A library whose constructor does not return until the test lets it: while it waits, the thread
// that loads it holds the dynamic loader's lock inside dlopen.
extern "C" void hold_in_library_constructor();  // defined by the test program

namespace {

__attribute__((constructor)) void wait_for_the_test() { hold_in_library_constructor(); }

}  // namespace
