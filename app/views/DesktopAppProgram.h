#pragma once

namespace nimbuscrate {

// The tray app's run: one instance per user (a later launch shows the first
// instance's window and ends with 0), the model over the real services, the
// tray item and the main window; it ends with 0 at "Quit Nimbuscrate",
// SIGTERM, SIGINT or SIGHUP. Needs a display (the platform of the toolkit).
int runDesktopApp(int argc, char** argv);

}  // namespace nimbuscrate
