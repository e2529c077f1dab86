// What the leak checker of sanitizer builds is told to ignore in programs
// that draw text: fontconfig keeps its configuration for the life of the
// process and the toolkit never frees it. Unused in other builds.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
