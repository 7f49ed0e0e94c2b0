#pragma once

#include "download/download_controller.h"
#include "ui/front_end.h"

#include <memory>

// The download window as one piece: the front end's window and controls, and
// the one controller wired to them. The controller goes before the front end,
// whose loop its download still needs while it is torn down.
struct MainInterface {
    std::unique_ptr<FrontEnd> frontEnd;
    std::unique_ptr<Download> controller;

    MainInterface() = default;
    MainInterface(MainInterface&&) = default;
    MainInterface& operator=(MainInterface&&) = default;
    ~MainInterface();
};

// Creates the controller on the run's cache (which outlives the interface),
// gives the controls their first settings, connects the outlets and makes the
// controller the window's delegate.
MainInterface loadMainInterface(std::unique_ptr<FrontEnd> frontEnd, UrlDownloadStarter startDownload,
                                CacheSession& cache);
