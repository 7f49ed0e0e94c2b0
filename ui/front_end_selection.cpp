// Which front end a run gets: the window when a display can be used, else
// the terminal, else plain lines. ZX_INSTALLER_UI=window|terminal|plain
// forces one (a window that cannot be made falls back, saying why). A
// terminal that knows no escapes (TERM=dumb) gets plain lines.
//
// The window lives in its own module, launcher-window.so, loaded here at run
// time: the launcher itself links neither FLTK nor X11, and starts on a
// machine that has neither.

#include "ui/front_end.h"

#include "ui/fltk/window_module.h"
#include "platform/paths.h"
#include "platform/stderr_terminal.h"
#include "provisioning/bundle_contents.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace {

// The module from beside the running executable, and from nowhere else: a
// launcher copied into a bundle must never load what lies at some other
// place on the user's machine. Loaded once and never unloaded: FLTK does not
// expect to go.
void* loadWindowModule(std::string& whyNot)
{
    static void* module = nullptr;
    if (module != nullptr)
        return module;
    const std::string directory = parentDirectory(readRunningExecutableLink());
    const std::string path = appendPathComponent(directory, windowModuleName);
    if (directory.empty() || access(path.c_str(), F_OK) != 0) {
        whyNot = std::string("the window module ") + windowModuleName + " is not installed";
        return nullptr;
    }
    module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* error = dlerror();
        whyNot = error != nullptr ? error : "cannot load " + path;
    }
    return module;
}

std::unique_ptr<FrontEnd> tryWindowFrontEnd(const std::string& windowTitle, std::string& whyNot)
{
    void* module = loadWindowModule(whyNot);
    if (module == nullptr)
        return nullptr;
    const auto create =
        reinterpret_cast<LauncherCreateWindowFrontEnd>(dlsym(module, LAUNCHER_WINDOW_CREATE_SYMBOL));
    if (create == nullptr) {
        whyNot = std::string("the window module has no ") + LAUNCHER_WINDOW_CREATE_SYMBOL;
        return nullptr;
    }
    std::unique_ptr<FrontEnd> frontEnd(create(windowTitle.c_str()));
    if (!frontEnd) {
        const auto reason =
            reinterpret_cast<LauncherWindowFailureReason>(dlsym(module, LAUNCHER_WINDOW_FAILURE_SYMBOL));
        const char* text = reason != nullptr ? reason() : nullptr;
        whyNot = text != nullptr && *text != '\0' ? text : "the window could not be made";
    }
    return frontEnd;
}

// Lines redrawn in place on a terminal that can, plain lines elsewhere
// (a file, a pipe, TERM=dumb).
std::unique_ptr<FrontEnd> createTextFrontEnd()
{
    return createTerminalFrontEnd(stderrRedrawsLines());
}

} // namespace

std::unique_ptr<FrontEnd> createWindowFrontEnd(const std::string& windowTitle)
{
    std::string whyNot;
    return tryWindowFrontEnd(windowTitle, whyNot);
}

std::unique_ptr<FrontEnd> createFrontEnd(const std::string& windowTitle)
{
    const char* choice = std::getenv("ZX_INSTALLER_UI");
    const std::string kind = choice != nullptr ? choice : "";
    if (kind == "terminal")
        return createTerminalFrontEnd(terminalKnowsEscapes());
    if (kind == "plain")
        return createTerminalFrontEnd(false);
    if (kind == "window") {
        std::string whyNot;
        if (std::unique_ptr<FrontEnd> frontEnd = tryWindowFrontEnd(windowTitle, whyNot))
            return frontEnd;
        std::fprintf(stderr, "No download window (%s); showing the download here.\n", whyNot.c_str());
        return createTextFrontEnd();
    }
    // Automatic: a window only where there is a display to show it on.
    const char* display = std::getenv("DISPLAY");
    if (display != nullptr && *display != '\0') {
        if (std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(windowTitle))
            return frontEnd;
    }
    return createTextFrontEnd();
}
