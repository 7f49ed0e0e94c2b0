#include "provisioning/trust_policy.h"

#include "provisioning/constants.h"

namespace {

// An agent made for another release or platform than this launcher's.
std::optional<TrustRefusal> otherTagRefusal(const char* what, const std::optional<std::string>& stated,
                                            const std::string& own)
{
    if (!stated || *stated == own)
        return std::nullopt;
    return TrustRefusal{std::string("signed for ") + what + " " + *stated + ", not for " + own,
                        std::string("The server offered the install agent of another ") + what + " (" + *stated
                            + ") than this installer's (" + own + ")."};
}

} // namespace

std::optional<TrustRefusal> trustRefusalOf(const TrustedCommentFields& fields,
                                           std::optional<std::uint64_t> newestAccepted)
{
    if (auto refusal = otherTagRefusal("release", fields.release, releaseTag))
        return refusal;
    if (auto refusal = otherTagRefusal("platform", fields.platform, platformTag))
        return refusal;
    if (fields.timestamp && newestAccepted && *fields.timestamp < *newestAccepted)
        return olderAgentRefusal(*fields.timestamp, *newestAccepted);
    return std::nullopt;
}

TrustRefusal malformedCommentRefusal(const std::string& whyNot)
{
    return TrustRefusal{whyNot, "The download's signature states something this installer cannot read."};
}

TrustRefusal olderAgentRefusal(std::uint64_t offered, std::uint64_t newest)
{
    const std::string offeredTime = signingTimeText(offered);
    const std::string newestTime = signingTimeText(newest);
    return TrustRefusal{"signed " + offeredTime + ", older than the cached agent signed " + newestTime,
                        "The server offered an older install agent (signed " + offeredTime
                            + ") than the one already installed (signed " + newestTime + ")."};
}
