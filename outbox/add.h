// add: one report from standard input into the queue, whole and durable, or
// nothing at all.
#pragma once

#include "queue.h"

#include <cstdint>

// The limit of an outbox is the number in its file max-bytes, else this.
const uint64_t kDefaultMaxBytes = 1ULL << 30;

// 0 when the report is queued; 1, having said why, when it is not.
int add(const Outbox &outbox);
