#pragma once

// Who vouched for the cached install agent, in two small files of the cache
// directory, read and written only here:
//
//  - ".vouchedby", the record of the agent in place: the id of the key whose
//    signature it carried and that signature's trusted comment. Written when
//    a verified agent has been swapped in, before its stamp, and removed
//    before the stamp of the agent it names; so whenever a stamp stands
//    beside a record, the record is that agent's. An agent stored without a
//    signature has none. A bundle with a key runs a cached agent only when
//    the record names one of its keys.
//  - ".newestsignatures", the newest signing time taken under each key id,
//    which outlives every replacement of the agent: an older signature is no
//    longer taken.
//
// Both are regular files of "name value" lines; a link or anything else at
// their place counts as no record. Reading needs no write (a read-only cache
// can be read); changing them needs the cache's exclusive lock.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

struct AgentVouching {
    std::string keyId;          // as keyIdText() gives it
    std::string trustedComment; // the signature's, as signed

    bool operator==(const AgentVouching&) const = default;
};

// The record in the cache directory dir; none when there is none, or it is
// not one this module wrote.
std::optional<AgentVouching> readAgentVouching(const std::string& dir);
// Puts the record in place (replacing an old one in one step); false when it cannot.
bool writeAgentVouching(const std::string& dir, const AgentVouching& vouching);
void removeAgentVouching(const std::string& dir);

// The newest signing time taken under each key id.
using NewestSigningTimes = std::map<std::string, std::uint64_t>;
NewestSigningTimes readNewestSigningTimes(const std::string& dir);
// Keeps timestamp for the key id unless a newer one is kept already.
void recordSigningTime(const std::string& dir, const std::string& keyId, std::uint64_t timestamp);

// Whether a name in the cache directory is one of these files being written,
// or left unfinished by a run that was killed meanwhile.
bool isUnfinishedVouchingName(const std::string& name);
