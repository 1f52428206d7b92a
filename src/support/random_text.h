// Unpredictable text from the system's random number generator: names nobody can guess in advance.
#pragma once

#include <cstddef>
#include <string>

#include "support/result.h"

// 2 x bytes lower-case hexadecimal digits drawn from the system's preferred generator.
Result<std::wstring> RandomHex(size_t bytes);
