// Persisted update state: REG_SZ values under HKCU\Software\OKAVU\Quillmere.
#pragma once

#include <string>

#include "support/result.h"

inline constexpr wchar_t kStateKey[] = L"Software\\OKAVU\\Quillmere";

// Creates the key when missing. Fails with the error of opening the key or of storing the value.
Status WriteStateValue(const wchar_t* name, const std::wstring& value);

// The stored text, or empty when the key or value is missing or longer than 510 characters.
// Never creates the key.
std::wstring ReadStateValue(const wchar_t* name);
