#pragma once

// The entry points of the window module, launcher-window.so. The launcher
// loads the module with dlopen() only when it wants a window, so that the
// launcher itself needs neither FLTK nor X11 to start.

class FrontEnd;

// Symbol names, for dlsym().
#define LAUNCHER_WINDOW_CREATE_SYMBOL "launcher_create_window_front_end"
#define LAUNCHER_WINDOW_FAILURE_SYMBOL "launcher_window_failure_reason"

extern "C" {

// A new window front end with the given title, owned by the caller (delete
// it through FrontEnd's virtual destructor); null when no display can be
// used.
using LauncherCreateWindowFrontEnd = FrontEnd* (*)(const char* title);
FrontEnd* launcher_create_window_front_end(const char* title);

// Why the last call of launcher_create_window_front_end returned null, as
// one line of text; "" when it did not fail.
using LauncherWindowFailureReason = const char* (*)();
const char* launcher_window_failure_reason();
}
