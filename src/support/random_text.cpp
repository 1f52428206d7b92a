// Random text over bcrypt.
#include "support/random_text.h"

#include <windows.h>

#include <vector>

#include "support/system_dll.h"

Result<std::wstring> RandomHex(size_t bytes) {
  const BcryptApi& api = Bcrypt();
  if (api.loadError != ERROR_SUCCESS) return Status::Failure(api.loadError);
  std::vector<unsigned char> random(bytes);
  const NTSTATUS status =
      api.genRandom(nullptr, random.data(), static_cast<ULONG>(random.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) return Status::Failure(static_cast<unsigned long>(status));
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  for (unsigned char byte : random) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}
