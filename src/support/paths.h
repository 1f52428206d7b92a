// Path text: making a path absolute, joining, comparing and taking the folder of a path. None of them
// touches a file.
#pragma once

#include <string>

// The absolute path, or the argument unchanged when it cannot be resolved.
std::wstring FullPath(const std::wstring& path);

// directory + "\" + name, without doubling a trailing separator; an empty directory gives name.
std::wstring Join(const std::wstring& directory, const std::wstring& name);

// Same file by text: case-insensitive, ignoring a leading "\\?\" and trailing separators.
// False when either side is empty. The file system is never consulted.
bool SamePath(const std::wstring& a, const std::wstring& b);

// The text before the last "\" of path ("C:\Tools\wp.exe" gives "C:\Tools"), or whenNone when path has
// no "\". Callers differ in what a bare name means, so they say it.
std::wstring FolderOf(const std::wstring& path, const std::wstring& whenNone);
