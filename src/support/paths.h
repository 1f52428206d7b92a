// Path and file helpers shared by the wallpaper and update code. None of them reports messages.
#pragma once

#include <memory>
#include <string>

// The absolute path, or the argument unchanged when it cannot be resolved.
std::wstring FullPath(const std::wstring& path);

// directory + "\" + name, without doubling a trailing separator; an empty directory gives name.
std::wstring Join(const std::wstring& directory, const std::wstring& name);

// Same file by text: case-insensitive, ignoring a leading "\\?\" and trailing separators.
// False when either side is empty. The file system is never consulted.
bool SamePath(const std::wstring& a, const std::wstring& b);

// Removes blanks, tabs, CRs and LFs at both ends.
std::wstring TrimW(const std::wstring& text);

// The whole file, or null (size 0) when it cannot be opened, is empty or is not read completely.
std::unique_ptr<unsigned char[]> ReadAllBytes(const std::wstring& path, unsigned long long& size);

// FileVersion of the first translation of an executable's version resource; false and empty
// when there is none.
bool PeFileVersionString(const std::wstring& path, std::wstring& version);

// True when the path names an existing file or folder that is not a directory.
bool IsExistingFile(const std::wstring& path);

// The running executable's path (GetModuleFileNameW into 1,040 characters); empty on failure or
// when the path does not fit.
std::wstring ModulePath();

// The user's temporary folder with its trailing "\" (GetTempPathW into 1,040 characters); empty on
// failure.
std::wstring TempFolder();

// The text before the last "\" of path ("C:\Tools\wp.exe" gives "C:\Tools"), or whenNone when path has
// no "\". Callers differ in what a bare name means, so they say it.
std::wstring FolderOf(const std::wstring& path, const std::wstring& whenNone);
