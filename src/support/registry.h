// The registry, written once: opening and creating keys, reading a value's data with a buffer that
// grows, reading a 32-bit number, writing a string.
#pragma once

#include <windows.h>

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
// is a success with no bytes.
Result<std::vector<unsigned char>> ReadRegistryData(HKEY key, const wchar_t* name);

// Registry data taken as UTF-16 text whatever the value's type: the whole characters of the data up
// to the first zero character; an odd last byte is dropped.
std::wstring RegistryDataText(const unsigned char* data, size_t bytes);

// ReadRegistryData as text; empty when the key or value is missing, empty or unreadable.
std::wstring ReadRegistryText(HKEY root, const wchar_t* subKey, const wchar_t* name);

// A value read into exactly 4 bytes, whatever its type: fails when it is missing or larger. Data
// shorter than 4 bytes fill the low bytes.
Result<unsigned long> ReadRegistryNumber(HKEY key, const wchar_t* name);

// Stores text as REG_SZ with its terminating zero.
Status WriteRegistryString(HKEY key, const wchar_t* name, const std::wstring& text);
