// The FileVersion string of an executable's version resource.
#pragma once

#include <string>

#include "support/result.h"

// FileVersion of the first translation of an executable's version resource, as stored (not parsed).
// Fails when there is none, or it is empty.
Result<std::wstring> PeFileVersionString(const std::wstring& path);
