#pragma once

#include "ui/download_progress.h"
#include "ui/widgets.h"

#include <optional>
#include <string>
#include <utility>

// What the status line said, and in which phase, and whether the cancel
// button could be pressed, before a text shown only for a while (a wait for
// the cache, a retry's wait), to be put back after it.
class StatusToRestore {
public:
    struct Status {
        DownloadProgress::Phase phase;
        std::optional<std::string> text; // none without a status line
        std::optional<bool> cancelEnabled; // none without a cancel button
    };

    // Keeps the phase, the line's text and the button's state, unless
    // something is kept already (a second retry in a row comes back to what
    // came before the first).
    void keep(DownloadProgress::Phase phase, const StatusLine* line, const Button* cancel)
    {
        if (!kept_)
            kept_ = Status{phase, line != nullptr ? std::optional(line->stringValue()) : std::nullopt,
                           cancel != nullptr ? std::optional(cancel->isEnabled()) : std::nullopt};
    }

    // What was kept, once; none when nothing is.
    std::optional<Status> take() { return std::exchange(kept_, std::nullopt); }

private:
    std::optional<Status> kept_;
};
