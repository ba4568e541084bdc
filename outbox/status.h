// status: what waits, what failed, the last attempt's message, and an exit
// status for a monitoring check.
#pragma once

#include "queue.h"

#include <cstdint>

// Exit statuses, as monitoring checks read them.
enum Health : std::uint8_t { kHealthy = 0, kWaitedTooLong = 1, kFailed = 2, kUnknown = 3 };

// maxWait: seconds the oldest waiting report may have waited.
int status(const Outbox &outbox, int64_t maxWait);
