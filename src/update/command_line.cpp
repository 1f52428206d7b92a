// Argument quoting by the rules that CommandLineToArgvW and the C runtime use to split a line.
#include "update/command_line.h"

void AppendQuotedArgument(std::wstring& line, const std::wstring& arg) {
  line.push_back(L'"');
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      // 2n backslashes read back as n, and the extra one makes the quote literal.
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line.push_back(c);
  }
  // Before the closing quote the run must be doubled, or its last backslash escapes the quote.
  line.append(backslashes * 2, L'\\');
  line.push_back(L'"');
}

std::wstring QuoteArgument(const std::wstring& arg) {
  std::wstring quoted;
  quoted.reserve(arg.size() + 2);
  AppendQuotedArgument(quoted, arg);
  return quoted;
}
