// The embedded publisher key.
#include "update/publisher_key.h"

#include <windows.h>

#include "support/handles.h"

namespace {

constexpr wchar_t kKeyResourceName[] = L"OKAVU_UPDATE_KEY";

// The key resource of module, as the build writes it; empty without one.
std::string PublisherKeyOf(HMODULE module) {
  const HRSRC found = FindResourceW(module, kKeyResourceName, RT_RCDATA);
  if (!found) return {};
  const DWORD size = SizeofResource(module, found);
  const HGLOBAL loaded = size ? LoadResource(module, found) : nullptr;
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

}  // namespace

std::string EmbeddedPublisherKey() { return PublisherKeyOf(GetModuleHandleW(nullptr)); }

Result<std::string> PublisherKeyOfFile(const std::wstring& path) {
  UniqueLibrary image(
      LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  if (!image) return Status::LastError();
  return PublisherKeyOf(image.get());
}
