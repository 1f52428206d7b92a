// Encoding probe.
#include "app/encoding_probe.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "support/handles.h"
#include "support/text.h"

namespace {

constexpr wchar_t kProbe[] = L"[] 中文测试 exe";
constexpr size_t kBufferChars = 2048;
constexpr size_t kRoomForMore = 1899;  // pieces of per-unit output stop once n passes this

// Appends one formatted piece at n with the room that is left; a piece that does not fit adds nothing.
class ProbeBuffer {
 public:
  void Add(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int len = FormatV(buf_ + n_, kBufferChars - n_, fmt, args);
    va_end(args);
    if (len > 0) n_ += static_cast<size_t>(len);
  }
  size_t size() const { return n_; }
  bool HasRoom() const { return n_ <= kRoomForMore; }
  std::wstring Text() const { return std::wstring(buf_, n_); }

 private:
  wchar_t buf_[kBufferChars] = {};
  size_t n_ = 0;
};

}  // namespace

std::wstring EncodingProbeText() {
  ProbeBuffer out;
  const size_t units = wcslen(kProbe);
  out.Add(L"wcslen=%d\r\n码点: ", static_cast<int>(units));
  for (size_t i = 0; i < units && out.HasRoom(); ++i) out.Add(L"U+%04X ", static_cast<unsigned>(kProbe[i]));

  out.Add(L"\r\n宽字符内存原始字节: ");
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(kProbe);
  for (size_t i = 0; i < units * sizeof(wchar_t) && out.HasRoom(); ++i)
    out.Add(L"%02X ", static_cast<unsigned>(raw[i]));

  int m = WideCharToMultiByte(CP_UTF8, 0, kProbe, -1, nullptr, 0, nullptr, nullptr);
  std::vector<char> utf8(m > 1 ? static_cast<size_t>(m) : 1, '\0');
  if (m > 0) WideCharToMultiByte(CP_UTF8, 0, kProbe, -1, utf8.data(), m, nullptr, nullptr);
  out.Add(L"\r\nUTF-8 转换结果 (%d 字节): ", m - 1);
  for (int i = 0; i < m - 1 && out.HasRoom(); ++i)
    out.Add(L"%02X ", static_cast<unsigned>(static_cast<unsigned char>(utf8[i])));

  out.Add(L"\r\n直接写 UTF-8: %hs\r\n", utf8.data());
  out.Add(L"CRT 写宽字符: %ls\r\n", kProbe);
  return out.Text();
}

void RunEncodingProbe() {
  std::wstring text = EncodingProbeText();
  UniqueFile file(
      CreateFileW(L"enc_probe_utf8.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  std::string bytes = "\xEF\xBB\xBF" + ToUtf8(text);
  DWORD written = 0;
  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
