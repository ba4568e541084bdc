// deliver: the queued reports whose time has come, oldest first, each by one
// run of the tool; the outcome decides its fate.
#pragma once

#include "queue.h"

#include <cstdint>
#include <string>

struct DeliverOptions {
    std::string caPath;              // passed on to the tool; empty: its default
    int timeout = 300;               // seconds a run of the tool may take
    int64_t giveUp = 7LL * 24 * 3600; // a report this old moves to failed/ at its next failure
    bool now = false;                // every report is due, whatever its back-off
};

// 0, or 1 when the outbox could not be worked on.
int deliver(const Outbox &outbox, const DeliverOptions &options);
