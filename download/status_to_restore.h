#pragma once

#include "ui/download_progress.h"
#include "ui/widgets.h"

#include <optional>
#include <string>
#include <utility>

// What the status line said, and in which phase, before a text shown only for
// a while (a wait for the cache, a retry's wait), to be put back after it.
class StatusToRestore {
public:
    struct Status {
        DownloadProgress::Phase phase;
        std::optional<std::string> text; // none without a status line
    };

    // Keeps the phase and the line's text, unless something is kept already
    // (a second retry in a row comes back to what came before the first).
    void keep(DownloadProgress::Phase phase, const StatusLine* line)
    {
        if (!kept_)
            kept_ = Status{phase, line != nullptr ? std::optional(line->stringValue()) : std::nullopt};
    }

    // What was kept, once; none when nothing is.
    std::optional<Status> take() { return std::exchange(kept_, std::nullopt); }

private:
    std::optional<Status> kept_;
};
