// Text: bounded printf-style formatting into wide buffers, trimming, and UTF-8 conversion at the edges.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// Formats into buf (cap wide characters, terminator included). Returns the formatted length,
// or -1 when the text did not fit; buf then holds the text cut to cap - 1 characters.
int FormatV(wchar_t* buf, size_t cap, const wchar_t* fmt, va_list args);
int FormatInto(wchar_t* buf, size_t cap, const wchar_t* fmt, ...);

// Formats without a length limit; for texts that are not bound to a fixed buffer.
std::wstring Format(const wchar_t* fmt, ...);

// UTF-16 to UTF-8 and back. FromUtf8 never fails: malformed bytes become U+FFFD.
std::string ToUtf8(const std::wstring& text);
std::string ToUtf8(const wchar_t* text, size_t length);
std::wstring FromUtf8(const std::string& bytes);

// Text that came from outside (a manifest, a response, a file name, a registry value), made safe to put
// into one line of the console or the log, or into the registry: every control character (below U+0020,
// U+007F, U+0080 to U+009F), the line and paragraph separators and the direction marks and overrides
// become a visible escape such as "\u000A", so that no such value can end a line or turn the text
// around it.
std::wstring EscapeOutsideText(const std::wstring& text);

// Removes blanks, tabs, CRs and LFs at both ends.
std::wstring TrimW(const std::wstring& text);
