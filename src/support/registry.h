// The registry, written once: opening and creating keys, reading a value's data with a buffer that
// grows, the rule for stored numbers, writing a string.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "support/handles.h"
#include "support/result.h"

// RegOpenKeyExW: never creates the key.
Result<UniqueRegKey> OpenRegistryKey(HKEY root, const wchar_t* subKey, REGSAM access);

// RegCreateKeyExW: opens the key, creating it and every missing parent.
Result<UniqueRegKey> CreateRegistryKey(HKEY root, const wchar_t* subKey, REGSAM access);

// The value's data as stored, whatever its type: asks for the size, reads, and reads again (a few
// times) when the value grew in between. Fails when the value is missing or unreadable; empty data
// is a success with no bytes. type, when given, receives the type of the data read.
Result<std::vector<unsigned char>> ReadRegistryData(HKEY key, const wchar_t* name, unsigned long* type = nullptr);

// Registry data taken as UTF-16 text whatever the value's type: the whole characters of the data up
// to the first zero character; an odd last byte is dropped.
std::wstring RegistryDataText(const unsigned char* data, size_t bytes);

// ReadRegistryData as text; empty when the key or value is missing, empty or unreadable.
std::wstring ReadRegistryText(HKEY root, const wchar_t* subKey, const wchar_t* name);

// The one rule for a number an administrator stores: REG_DWORD, or REG_SZ of 1 to 10 decimal digits
// (what `reg add` writes without /t) whose value fits in 32 bits. Anything else is unreadable: nullopt.
std::optional<unsigned long> RegistryDword(unsigned long type, const unsigned char* data, size_t bytes);

// A value read by that rule: ERROR_FILE_NOT_FOUND when it is missing, ERROR_INVALID_DATA when it is
// there but unreadable; what unreadable means is the reader's business.
Result<unsigned long> ReadRegistryDword(HKEY key, const wchar_t* name);

// Stores text as REG_SZ with its terminating zero.
Status WriteRegistryString(HKEY key, const wchar_t* name, const std::wstring& text);
