// What the leak checker of sanitizer builds is told to ignore in the
// programs that show widgets: fontconfig's configuration and the D-Bus
// connection the toolkit opens for the desktop are kept for the life of the
// process and never freed. Unused in other builds.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
