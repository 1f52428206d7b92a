// Base64 text (the standard alphabet, with padding) to bytes.
#pragma once

#include <string>
#include <vector>

#include "support/result.h"

// Strict: only the 64 letters of the alphabet, a length that is a multiple of 4 and at most two '='
// at the end; anything else (white space included) fails. Pure.
Result<std::vector<unsigned char>> DecodeBase64(const std::string& text);
