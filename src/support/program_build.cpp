// The build that runs, by its PE header.
#include "support/program_build.h"

#include <windows.h>

namespace {

unsigned ReadU16(const unsigned char* p) { return static_cast<unsigned>(p[0] | (p[1] << 8)); }
size_t ReadU32(const unsigned char* p) {
  return static_cast<size_t>(p[0]) | (static_cast<size_t>(p[1]) << 8) | (static_cast<size_t>(p[2]) << 16) |
         (static_cast<size_t>(p[3]) << 24);
}

constexpr size_t kLfanewOffset = 0x3C;
constexpr size_t kFileHeaderBytes = 20;
constexpr size_t kSubsystemOffset = 68;  // in the optional header, the same for PE32 and PE32+

}  // namespace

std::optional<unsigned> PeSubsystem(const unsigned char* data, size_t size) {
  if (size < kLfanewOffset + 4 || data[0] != 'M' || data[1] != 'Z') return std::nullopt;
  const size_t pe = ReadU32(data + kLfanewOffset);
  const size_t field = pe + 4 + kFileHeaderBytes + kSubsystemOffset;
  if (pe > size || field + 2 > size || size - field < 2) return std::nullopt;
  if (data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] != 0 || data[pe + 3] != 0) return std::nullopt;
  return ReadU16(data + field);
}

unsigned RunningSubsystem() {
  // The loaded image keeps its headers; the module is mapped as a whole, so its size bounds the read.
  const unsigned char* image = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  return nt->OptionalHeader.Subsystem;
}

bool RunningWindowless() { return RunningSubsystem() == kWindowlessSubsystem; }
