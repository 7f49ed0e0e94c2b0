#include "platform/body_start_gate.h"

void BodyStartGate::bodyStarts(const UrlResponse& response)
{
    response_ = response;
    held_.clear();
    refusal_.reset();
    holding_ = static_cast<bool>(check_.judge);
}

void BodyStartGate::noBody()
{
    held_.clear();
    refusal_.reset();
    holding_ = false;
}

bool BodyStartGate::hold(const char* data, std::size_t size)
{
    held_.append(data, size);
    return held_.size() >= check_.length;
}

bool BodyStartGate::judge(std::string& whyNot)
{
    holding_ = false;
    refusal_ = check_.judge(std::string_view(held_).substr(0, check_.length), response_);
    if (refusal_)
        whyNot = refusal_->localizedDescription;
    return !refusal_;
}
