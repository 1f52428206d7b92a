// This computer's name.
#include "support/computer.h"

#include <windows.h>

#include <cwctype>

std::wstring ThisComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &length)) return {};
  return std::wstring(name, length);
}

bool IsThisComputer(const std::wstring& recorded, const std::wstring& thisComputer) {
  if (recorded.empty()) return true;
  if (recorded.size() != thisComputer.size()) return false;
  for (size_t i = 0; i < recorded.size(); ++i) {
    if (towlower(recorded[i]) != towlower(thisComputer[i])) return false;
  }
  return true;
}
