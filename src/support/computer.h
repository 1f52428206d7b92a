// This computer's name, for state that roams with the user's profile but describes one computer.
#pragma once

#include <string>

// GetComputerNameW's answer; empty when it fails.
std::wstring ThisComputerName();

// True when a record made on the computer recorded belongs to this one: the same name without regard to
// case, or no name at all (written by a version that recorded none).
bool IsThisComputer(const std::wstring& recorded, const std::wstring& thisComputer);
