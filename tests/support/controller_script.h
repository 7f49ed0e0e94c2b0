#pragma once

#include "ui/widgets.h"

#include <cstdint>
#include <string>

namespace testsupport {

// The calls the download controller makes on a front end, in its order, for
// the tests of a front end alone; ProgressReports.ScriptMovesAsTheController
// keeps the two the same.
class ControllerScript {
public:
    explicit ControllerScript(FrontEnd& frontEnd);

    // The controls' first settings (as loadMainInterface gives them) and the
    // window's delegate. The window is not shown.
    void setUp(WindowDelegate& delegate);
    // The request goes out.
    void connect(const std::string& url);
    // The response: of a known length, or -1 for none.
    void respond(std::int64_t length);
    // A piece of the body.
    void receive(std::int64_t bytes);
    // The body is complete: "Initializing the installer".
    void finish();
    // A failure, shown in red, with the reason the log got and the same in
    // plain words (either may be empty).
    void fail(const std::string& message, const std::string& reason = {}, const std::string& explanation = {});

    const DownloadProgress& progress() const { return progress_; }

private:
    void report(DownloadProgress::Phase phase);

    FrontEnd& frontEnd_;
    DownloadProgress progress_;
};

} // namespace testsupport
