// Quoting of arguments for a Windows command line, shared by the helper's line and the restart line.
#pragma once

#include <string>

// Appends arg to line as one double-quoted argument that CommandLineToArgvW (and the runtime's
// argv splitting) reads back unchanged:
//  - every inner double quote gets a backslash in front of it;
//  - a run of backslashes is doubled only where it stands before a double quote or before the
//    closing quote, so a trailing backslash or a backslash before a quote survives;
//  - every other character, backslashes included, is copied as it is;
//  - an empty argument becomes "".
// Use this for every argument that is passed on: the update hand-over's helper line and the
// helper's restart line of the new version must agree, or arguments change on the way.
void AppendQuotedArgument(std::wstring& line, const std::wstring& arg);

// arg as AppendQuotedArgument writes it, quotes included.
std::wstring QuoteArgument(const std::wstring& arg);
