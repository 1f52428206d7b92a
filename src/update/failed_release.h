// The release that last failed to install for this user (verification, hand-over or the helper's
// recovery), remembered in the state key so that the same release is not downloaded again and again.
#pragma once

#include <string>

struct FailedRelease {
  std::wstring version;   // as the manifest named it
  std::wstring sha256;    // as NormalizeSha256 writes it; empty when the digest was not known
  std::wstring computer;  // where it failed ("FailedUpdateComputer"); empty in a record of an older version
};

// Stores the release as failed on this computer and logs that it will not be downloaded again. sha256 is
// taken in any case and stored lower-cased.
void RememberFailedRelease(const std::wstring& version, const std::wstring& sha256);

// The remembered release; empty fields when there is none.
FailedRelease ReadFailedRelease();

// True when the manifest offers the very release that failed on this computer (the record roams with the
// profile; one made on another computer, whose failure may have been its own, does not count): the same
// version, compared as a version ('1.7' is '1.7.0.0'), and the same digest.
bool IsFailedRelease(const FailedRelease& failed, const std::wstring& version, const std::wstring& sha256,
                     const std::wstring& thisComputer);
