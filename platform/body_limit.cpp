#include "platform/body_limit.h"

DownloadBodyLimit::~DownloadBodyLimit()
{
    if (recheck_)
        loop_.cancelCall(*recheck_);
}

void DownloadBodyLimit::change(BodyLimit limit, std::function<void()> recheck)
{
    limit_ = std::move(limit);
    if (recheck_)
        loop_.cancelCall(*recheck_);
    recheck_ = loop_.callLater(0.0, [this, recheck = std::move(recheck)] {
        recheck_.reset();
        recheck();
    });
}

std::string DownloadBodyLimit::failureFor(std::uint64_t received, std::int64_t announced)
{
    const std::string limitText = limit_.name + " (" + std::to_string(limit_.maxBytes) + " bytes)";
    if (announced >= 0 && limit_.exceededBy(static_cast<std::uint64_t>(announced)))
        failure_ = "the download is " + std::to_string(announced) + " bytes, more than " + limitText;
    else if (limit_.exceededBy(received))
        failure_ = "the download went past " + limitText;
    else
        return {};
    return failure_;
}

std::string DownloadBodyLimit::explanationFor(const std::string& failure) const
{
    return !failure_.empty() && failure == failure_ ? limit_.explanation : std::string();
}
