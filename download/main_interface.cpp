#include "download/main_interface.h"

MainInterface::~MainInterface()
{
    controller.reset();
    frontEnd.reset();
}

MainInterface loadMainInterface(std::unique_ptr<FrontEnd> frontEnd, UrlDownloadStarter startDownload,
                                CacheSession& cache)
{
    MainInterface ui;
    ui.controller = std::make_unique<Download>(frontEnd->loop(), std::move(startDownload), cache);

    ProgressIndicator& progress = frontEnd->progress();
    progress.setDoubleValue(0);
    progress.setUsesThreadedAnimation(true);
    frontEnd->downloadPercent().setUsesSingleLineMode(true);
    frontEnd->cancel().setKeyEquivalent("\r");

    Download& controller = *ui.controller;
    controller.progress = &progress;
    controller.image = &frontEnd->image();
    controller.downloadPercent = &frontEnd->downloadPercent();
    controller.window = &frontEnd->window();
    controller.cancel = &frontEnd->cancel();
    controller.progressView = &frontEnd->progressView();
    frontEnd->window().setDelegate(&controller);

    ui.frontEnd = std::move(frontEnd);
    return ui;
}
