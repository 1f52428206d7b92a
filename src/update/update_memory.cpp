// The state values of the update checks.
#include "update/update_memory.h"

#include <mutex>

#include "support/random_text.h"
#include "support/state.h"
#include "support/text.h"
#include "update/manifest_freshness.h"

namespace {

constexpr wchar_t kManifestSeq[] = L"ManifestSeq";
constexpr wchar_t kInstallId[] = L"InstallId";
constexpr size_t kInstallIdBytes = 16;

bool IsInstallId(const std::wstring& text) {
  if (text.size() != 2 * kInstallIdBytes) return false;
  for (wchar_t c : text) {
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'))) return false;
  }
  return true;
}

}  // namespace

std::optional<std::int64_t> ReadManifestSeq() {
  const std::wstring text = ReadStateValue(kManifestSeq);
  if (text.empty()) return std::nullopt;
  return ReadSeqNumber(text).value_or(0);
}

void RememberManifestSeq(std::int64_t seq) {
  // A registry that cannot be written only loses the replay guard's memory across runs.
  static_cast<void>(WriteStateValue(kManifestSeq, std::to_wstring(seq)));
}

std::string InstallId() {
  static std::mutex lock;
  static std::wstring unsaved;
  std::wstring id = ReadStateValue(kInstallId);
  if (IsInstallId(id)) return ToUtf8(id);
  std::lock_guard<std::mutex> hold(lock);
  if (unsaved.empty()) {
    Result<std::wstring> made = RandomHex(kInstallIdBytes);
    if (!made) return {};
    unsaved = std::move(made.value);
    static_cast<void>(WriteStateValue(kInstallId, unsaved));
  }
  // Two processes that made one at once both use the one that was stored last.
  id = ReadStateValue(kInstallId);
  return ToUtf8(IsInstallId(id) ? id : unsaved);
}
