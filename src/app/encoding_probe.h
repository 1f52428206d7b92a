// The "--enc-probe" diagnostic: how this build handles wide characters, written to a file.
#pragma once

#include <string>

// The probe's text, exactly as written to the file (before the UTF-8 conversion).
std::wstring EncodingProbeText();

// Writes "enc_probe_utf8.txt" (UTF-8 with a byte-order mark) into the working directory; prints nothing.
void RunEncodingProbe();
