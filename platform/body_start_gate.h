#pragma once

// Holds the first bytes of a body back until a BodyStartCheck has judged
// them, so that nothing of a body the check refuses reaches the file, nor
// anyone who watches the bytes.

#include "platform/url_download.h"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

class BodyStartGate {
public:
    explicit BodyStartGate(BodyStartCheck check) : check_(std::move(check)) {}

    // A body starts from zero with this response: without a rule its bytes
    // pass at once, otherwise its start is held for the judgement.
    void bodyStarts(const UrlResponse& response);
    // No body goes to the file (a 304): nothing is held.
    void noBody();
    // Whether the start of the body is being held, not yet judged.
    bool holding() const { return holding_; }
    // Holds more of the start; true once enough has come to judge it.
    bool hold(const char* data, std::size_t size);
    // Judges what is held, all of the body when it ended this short, and
    // stops holding. True when the body may go on (the held bytes are then
    // takeHeld()'s); false with the refusal's description in whyNot.
    bool judge(std::string& whyNot);
    std::string takeHeld() { return std::exchange(held_, {}); }
    // The refusal of the body that started last, if it was refused.
    const std::optional<UrlDownloadError>& refusal() const { return refusal_; }

private:
    const BodyStartCheck check_;
    UrlResponse response_;
    bool holding_ = false;
    std::string held_;
    std::optional<UrlDownloadError> refusal_;
};
