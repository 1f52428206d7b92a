// testtool reg-*: exact registry reads and writes (the reg.exe of Wine garbles non-ASCII text).
#include <cstring>
#include <cwchar>
#include <vector>

#include "support/handles.h"
#include "support/text.h"
#include "testtool.h"

namespace {

bool ParseRoot(const std::wstring& name, HKEY& root) {
  if (name == L"HKCU" || name == L"HKEY_CURRENT_USER") {
    root = HKEY_CURRENT_USER;
    return true;
  }
  if (name == L"HKLM" || name == L"HKEY_LOCAL_MACHINE") {
    root = HKEY_LOCAL_MACHINE;
    return true;
  }
  Err(L"testtool: ROOT must be HKCU or HKLM, not " + name + L"\n");
  return false;
}

const wchar_t* TypeName(DWORD type) {
  switch (type) {
    case REG_SZ:
      return L"REG_SZ";
    case REG_EXPAND_SZ:
      return L"REG_EXPAND_SZ";
    case REG_MULTI_SZ:
      return L"REG_MULTI_SZ";
    case REG_DWORD:
      return L"REG_DWORD";
    case REG_QWORD:
      return L"REG_QWORD";
    case REG_BINARY:
      return L"REG_BINARY";
    case REG_NONE:
      return L"REG_NONE";
    default:
      return nullptr;
  }
}

std::wstring Hex(const std::vector<BYTE>& data) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  for (BYTE b : data) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

bool ParseHex(const std::wstring& text, std::vector<BYTE>& data) {
  if (text.size() % 2 != 0) return false;
  auto nibble = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = nibble(text[i]);
    int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    data.push_back(static_cast<BYTE>(hi * 16 + lo));
  }
  return true;
}

// Text types print their UTF-16 data with one terminating zero removed: what the writer meant.
std::wstring DataText(DWORD type, const std::vector<BYTE>& data) {
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) memcpy(&text[0], data.data(), text.size() * sizeof(wchar_t));
    if (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
  }
  if (type == REG_DWORD && data.size() == 4) {
    DWORD v = 0;
    memcpy(&v, data.data(), 4);
    return Format(L"%lu", v);
  }
  if (type == REG_QWORD && data.size() == 8) {
    unsigned long long v = 0;
    memcpy(&v, data.data(), 8);
    return Format(L"%llu", v);
  }
  return Hex(data);
}

}  // namespace

int RegGetCommand(ToolArgs args) {
  HKEY root = nullptr;
  if (args.size() != 3) return UsageFailure(L"reg-get ROOT KEY VALUE");
  if (!ParseRoot(args[0], root)) return kToolUsage;
  UniqueRegKey key;
  LSTATUS rc = RegOpenKeyExW(root, args[1].c_str(), 0, KEY_QUERY_VALUE, key.put());
  if (rc == ERROR_FILE_NOT_FOUND) return kToolNo;
  if (rc != ERROR_SUCCESS) return SystemFailure(L"RegOpenKeyExW", static_cast<DWORD>(rc));
  DWORD type = 0;
  DWORD size = 0;
  rc = RegQueryValueExW(key.get(), args[2].c_str(), nullptr, &type, nullptr, &size);
  if (rc == ERROR_FILE_NOT_FOUND) return kToolNo;
  if (rc != ERROR_SUCCESS) return SystemFailure(L"RegQueryValueExW (size)", static_cast<DWORD>(rc));
  std::vector<BYTE> data(size);
  rc = RegQueryValueExW(key.get(), args[2].c_str(), nullptr, &type, data.empty() ? nullptr : data.data(), &size);
  if (rc != ERROR_SUCCESS) return SystemFailure(L"RegQueryValueExW", static_cast<DWORD>(rc));
  data.resize(size);
  const wchar_t* name = TypeName(type);
  std::wstring header = name ? Format(L"%ls %lu\n", name, size) : Format(L"REG_TYPE_%lu %lu\n", type, size);
  Out(header + DataText(type, data) + L"\n");
  return kToolOk;
}

int RegSetCommand(ToolArgs args) {
  HKEY root = nullptr;
  if (args.size() != 5) return UsageFailure(L"reg-set ROOT KEY VALUE TYPE DATA");
  if (!ParseRoot(args[0], root)) return kToolUsage;
  const std::wstring& type = args[3];
  const std::wstring& text = args[4];
  DWORD regType = 0;
  std::vector<BYTE> data;
  if (type == L"REG_SZ" || type == L"REG_EXPAND_SZ") {
    regType = type == L"REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
  } else if (type == L"REG_DWORD") {
    regType = REG_DWORD;
    DWORD v = wcstoul(text.c_str(), nullptr, 0);
    data.resize(4);
    memcpy(data.data(), &v, 4);
  } else if (type == L"REG_QWORD") {
    regType = REG_QWORD;
    unsigned long long v = wcstoull(text.c_str(), nullptr, 0);
    data.resize(8);
    memcpy(data.data(), &v, 8);
  } else if (type == L"REG_BINARY") {
    regType = REG_BINARY;
    if (!ParseHex(text, data)) return UsageFailure(L"reg-set ROOT KEY VALUE REG_BINARY HEXDIGITS");
  } else {
    return UsageFailure(L"reg-set ROOT KEY VALUE REG_SZ|REG_EXPAND_SZ|REG_DWORD|REG_QWORD|REG_BINARY DATA");
  }
  UniqueRegKey key;
  LSTATUS rc = RegCreateKeyExW(root, args[1].c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
  if (rc != ERROR_SUCCESS) return SystemFailure(L"RegCreateKeyExW", static_cast<DWORD>(rc));
  rc = RegSetValueExW(key.get(), args[2].c_str(), 0, regType, data.empty() ? nullptr : data.data(),
                      static_cast<DWORD>(data.size()));
  if (rc != ERROR_SUCCESS) return SystemFailure(L"RegSetValueExW", static_cast<DWORD>(rc));
  return kToolOk;
}

int RegDeleteCommand(ToolArgs args) {
  HKEY root = nullptr;
  if (args.size() < 2) return UsageFailure(L"reg-delete ROOT KEY [VALUE...]");
  if (!ParseRoot(args[0], root)) return kToolUsage;
  if (args.size() == 2) {
    UniqueRegKey key;
    LSTATUS rc = RegOpenKeyExW(root, args[1].c_str(), 0, KEY_ALL_ACCESS, key.put());
    if (rc == ERROR_FILE_NOT_FOUND) return kToolNo;
    if (rc != ERROR_SUCCESS) return SystemFailure(L"RegOpenKeyExW", static_cast<DWORD>(rc));
    rc = RegDeleteTreeW(key.get(), nullptr);
    if (rc != ERROR_SUCCESS) return SystemFailure(L"RegDeleteTreeW", static_cast<DWORD>(rc));
    key.reset();
    rc = RegDeleteKeyW(root, args[1].c_str());
    if (rc != ERROR_SUCCESS) return SystemFailure(L"RegDeleteKeyW", static_cast<DWORD>(rc));
    return kToolOk;
  }
  UniqueRegKey key;
  LSTATUS rc = RegOpenKeyExW(root, args[1].c_str(), 0, KEY_SET_VALUE, key.put());
  if (rc == ERROR_FILE_NOT_FOUND) return kToolNo;
  if (rc != ERROR_SUCCESS) return SystemFailure(L"RegOpenKeyExW", static_cast<DWORD>(rc));
  // Every named value goes; a missing one only changes the exit code.
  int result = kToolOk;
  for (size_t i = 2; i < args.size(); ++i) {
    rc = RegDeleteValueW(key.get(), args[i].c_str());
    if (rc == ERROR_FILE_NOT_FOUND) {
      result = kToolNo;
    } else if (rc != ERROR_SUCCESS) {
      return SystemFailure(L"RegDeleteValueW", static_cast<DWORD>(rc));
    }
  }
  return result;
}

int RegKeyExistsCommand(ToolArgs args) {
  HKEY root = nullptr;
  if (args.size() != 2) return UsageFailure(L"reg-key-exists ROOT KEY");
  if (!ParseRoot(args[0], root)) return kToolUsage;
  UniqueRegKey key;
  LSTATUS rc = RegOpenKeyExW(root, args[1].c_str(), 0, KEY_QUERY_VALUE, key.put());
  if (rc == ERROR_SUCCESS) return kToolOk;
  if (rc == ERROR_FILE_NOT_FOUND) return kToolNo;
  return SystemFailure(L"RegOpenKeyExW", static_cast<DWORD>(rc));
}

int RegBatchCommand(ToolArgs args) {
  if (args.size() != 1) return UsageFailure(L"reg-batch FILE");
  UniqueFile file(CreateFileW(args[0].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return SystemFailure(L"CreateFileW", GetLastError());
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
  // One command a line, its words separated by tabs: "reg-delete ..." or "reg-set ...". A missing key or
  // value is no failure here; anything else ends the batch with that command's exit code.
  const std::wstring text = FromUtf8(bytes);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    ToolArgs words;
    for (size_t word = start; word <= end;) {
      size_t tab = text.find(L'\t', word);
      if (tab == std::wstring::npos || tab > end) tab = end;
      words.push_back(text.substr(word, tab - word));
      word = tab + 1;
    }
    start = end + 1;
    if (words.size() == 1 && words[0].empty()) continue;
    const std::wstring command = words[0];
    words.erase(words.begin());
    int rc = kToolUsage;
    if (command == L"reg-delete") {
      rc = RegDeleteCommand(words);
      if (rc == kToolNo) rc = kToolOk;
    } else if (command == L"reg-set") {
      rc = RegSetCommand(words);
    } else {
      UsageFailure(L"reg-batch FILE (lines: reg-delete ... or reg-set ..., words separated by tabs)");
    }
    if (rc != kToolOk) return rc;
  }
  return kToolOk;
}
