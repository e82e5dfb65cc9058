// A shared library without the language-module entry point: loading it as a
// language must fail.
extern "C" __attribute__((visibility("default"))) int reelwright_unrelated_function() {
  return 42;
}
