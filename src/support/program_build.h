// Which of the two builds of the program runs: the console program (OKAVU.exe) or its windowless twin
// (OKAVUw.exe, linked for the Windows subsystem), told by the subsystem field of a PE header.
#pragma once

#include <cstddef>
#include <optional>

inline constexpr unsigned kWindowlessSubsystem = 2;  // IMAGE_SUBSYSTEM_WINDOWS_GUI
inline constexpr unsigned kConsoleSubsystem = 3;     // IMAGE_SUBSYSTEM_WINDOWS_CUI

// The subsystem of the PE image whose first bytes are data; nullopt when they are not a PE header.
std::optional<unsigned> PeSubsystem(const unsigned char* data, size_t size);

// The running executable's subsystem, from its own loaded header.
unsigned RunningSubsystem();

// True in the windowless twin: it never keeps, attaches or creates a console.
bool RunningWindowless();
