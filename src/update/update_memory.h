// What this user's desktop remembers for the update checks, in the state key: the highest manifest seq it
// took, and the install id that places it in a staged rollout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// "ManifestSeq": nullopt until a manifest with a seq was taken. A stored value that cannot be read counts
// as 0: a seq was stored, so a manifest without one is no longer taken.
std::optional<std::int64_t> ReadManifestSeq();
void RememberManifestSeq(std::int64_t seq);

// "InstallId", 32 hexadecimal digits, made at the first need. When it cannot be stored, the one made is
// kept for the rest of the process, so that the share point does not change from check to check. Empty
// only when the system gives no random numbers.
std::string InstallId();
