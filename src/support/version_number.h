// Dotted version numbers: reading one into four parts and comparing two, the way every version
// decision of the program (update offer, download check, helper check) makes it.
#pragma once

#include <string>

// Each part saturates at this value.
inline constexpr int kVersionPartMax = 1000000;

// Reads a dotted version into major, minor, build, revision (each 0..1,000,000, missing parts 0).
// Always sets all four parts. False only when the first part has no digit ('v1.7').
bool ParseVersion(const std::wstring& text, int parts[4]);

// True only when both versions parse and candidate is strictly greater, part by part.
bool IsNewerVersion(const std::wstring& candidate, const std::wstring& current);

// True only when both versions parse to the same four numbers ('1.7' is '1.7.0.0').
bool SameVersionNumbers(const std::wstring& a, const std::wstring& b);
