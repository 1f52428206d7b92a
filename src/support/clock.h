// The computer's clock, as UTC seconds and as the user's local time for messages.
#pragma once

#include <string>

#include "support/utc_time.h"

// The system time, in whole seconds since 1970 (UTC).
UtcSeconds UtcNow();

// "YYYY-MM-DD HH:MM:SS" in the computer's time zone, for a message that tells the user when.
std::wstring LocalTimeText(UtcSeconds seconds);
