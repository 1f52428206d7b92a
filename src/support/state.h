// Persisted update state: REG_SZ values under HKCU\Software\OKAVU\Quillmere.
#pragma once

#include <windows.h>

#include <string>

inline constexpr wchar_t kStateKey[] = L"Software\\OKAVU\\Quillmere";

// Creates the key when missing. Returns the error of opening the key, else of closing it;
// the value write itself is not reported.
LSTATUS WriteStateValue(const wchar_t* name, const std::wstring& value);

// The stored text, or empty when the key or value is missing or longer than 510 characters.
// Never creates the key.
std::wstring ReadStateValue(const wchar_t* name);
