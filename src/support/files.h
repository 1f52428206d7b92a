// Whole files: whether one exists, and reading all of it.
#pragma once

#include <string>
#include <vector>

#include "support/result.h"

// True when the path names an existing file or folder that is not a directory.
bool IsExistingFile(const std::wstring& path);

// The whole file. Fails when it cannot be opened, is empty, does not fit in memory or is not read
// completely (a file that shrinks while it is read).
Result<std::vector<unsigned char>> ReadAllBytes(const std::wstring& path);
