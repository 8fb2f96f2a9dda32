// Linked into the getwork and facade tests of ThreadSanitizer builds, so they run clean without
// a suppressions file. The HTTP library (cpprestsdk) is a system library built without
// ThreadSanitizer: its task completions and reference counts synchronise through atomics the
// tool cannot see, so memory it frees on its own I/O threads looks racy against the caller that
// last used it. Only reports with a frame inside that library are silenced.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libcpprest.so\n";
}
