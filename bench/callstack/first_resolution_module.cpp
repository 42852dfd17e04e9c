// One of the extra modules the first-resolution benchmark loads; built many times over.
extern "C" __attribute__((visibility("default"))) int first_resolution_module_value(int value) {
  return value + 1;
}
