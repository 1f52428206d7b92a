// Whole files: whether one exists, reading all of it, and holding one while it is checked and moved.
#pragma once

#include <string>
#include <vector>

#include "support/handles.h"
#include "support/result.h"

// True when the path names an existing file or folder that is not a directory.
bool IsExistingFile(const std::wstring& path);

// The whole file. Fails when it cannot be opened, is empty, does not fit in memory or is not read
// completely (a file that shrinks while it is read).
Result<std::vector<unsigned char>> ReadAllBytes(const std::wstring& path);

// Opens path for reading so that nobody else can write, rename or delete it while the handle is open
// (others may still read it, by handle or by path).
Result<UniqueFile> HoldForReading(const std::wstring& path);

// As HoldForReading, with the access the move needs (MoveHeldFile); others may read it only by a
// handle that shares write and delete access.
Result<UniqueFile> HoldForMove(const std::wstring& path);

// Renames the file held by HoldForMove to target (a full path on the same volume), replacing a file
// of that name, and flushes it: the bytes read through the handle are the bytes that now stand under
// target, and they are on disk before this returns.
Status MoveHeldFile(HANDLE held, const std::wstring& target);
