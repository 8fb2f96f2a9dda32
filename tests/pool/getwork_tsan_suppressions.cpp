// Linked into the getwork and facade tests of ThreadSanitizer builds. It carries the entry of
// tests/pool/tsan.supp (see there why), so these tests run clean whichever suppressions file
// the runner names.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libcpprest.so\n";
}
