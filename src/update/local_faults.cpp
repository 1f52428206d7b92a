// The count of local faults.
#include "update/local_faults.h"

#include <string>

#include "support/computer.h"
#include "support/state.h"

namespace {

constexpr wchar_t kCount[] = L"LocalUpdateFaults";
constexpr wchar_t kComputer[] = L"LocalUpdateFaultComputer";
constexpr int kCountLimit = 1000;  // the back-off's cap is reached long before

}  // namespace

int ReadLocalFaults() {
  if (!IsThisComputer(ReadStateValue(kComputer), ThisComputerName())) return 0;
  const std::wstring text = ReadStateValue(kCount);
  int count = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return 0;
    count = count * 10 + (c - L'0');
    if (count > kCountLimit) return kCountLimit;
  }
  return count;
}

void WriteLocalFaults(int count) {
  // A registry that cannot be written only loses the back-off's memory across runs.
  static_cast<void>(WriteStateValue(kCount, count > 0 ? std::to_wstring(count) : std::wstring()));
  static_cast<void>(WriteStateValue(kComputer, count > 0 ? ThisComputerName() : std::wstring()));
}

void CountLocalFault() { WriteLocalFaults(ReadLocalFaults() + 1); }
