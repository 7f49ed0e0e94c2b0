#pragma once

#include "ui/widgets.h"

#include <memory>
#include <string>

// Which face the download shows. Chosen automatically (a window when a
// display can be opened, else the terminal when stderr is one, else plain
// lines), or forced with ZX_INSTALLER_UI=window|terminal|plain.
enum class FrontEndKind { Window, Terminal, Plain };

// The front end to use for this run; never null (plain text is always possible).
std::unique_ptr<FrontEnd> createFrontEnd(const std::string& windowTitle);

// The terminal front end: status and a bar redrawn in place on stderr when
// interactive, a few plain status lines otherwise. Runs on a poll() loop.
std::unique_ptr<FrontEnd> createTerminalFrontEnd(bool interactive);

// The window front end, loaded from its module at run time; null when the
// module cannot be loaded or no display can be opened.
std::unique_ptr<FrontEnd> createWindowFrontEnd(const std::string& windowTitle);
