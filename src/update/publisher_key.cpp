// The embedded publisher key.
#include "update/publisher_key.h"

#include <windows.h>

namespace {

constexpr wchar_t kKeyResourceName[] = L"OKAVU_UPDATE_KEY";

}  // namespace

std::string EmbeddedPublisherKey() {
  const HMODULE self = GetModuleHandleW(nullptr);
  const HRSRC found = FindResourceW(self, kKeyResourceName, RT_RCDATA);
  if (!found) return {};
  const DWORD size = SizeofResource(self, found);
  const HGLOBAL loaded = size ? LoadResource(self, found) : nullptr;
  const char* text = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (!text) return {};
  std::string key;
  for (DWORD i = 0; i < size; ++i) {
    // The build writes the key's base64 text; line breaks and blanks are not part of it.
    if (text[i] != '\r' && text[i] != '\n' && text[i] != ' ' && text[i] != '\t' && text[i] != '\0')
      key.push_back(text[i]);
  }
  // A key resource that holds nothing still means "signatures required": a key nothing can match.
  return key.empty() ? std::string("-") : key;
}
