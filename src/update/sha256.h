// SHA-256 of a byte buffer through the system's bcrypt provider.
#pragma once

#include <cstddef>
#include <string>

// 64 lower-case hexadecimal digits, or empty text when the hashing service fails.
[[nodiscard]] std::string Sha256Hex(const unsigned char* data, size_t size);
