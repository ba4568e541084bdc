// A report's delivery state, small and beside it: NAME.state in the same folder.
#pragma once

#include "queue.h"

#include <cstdint>
#include <string>

struct State {
    int attempts = 0;
    int64_t last = 0, next = 0; // seconds since the epoch
    std::string message;         // the tool's, one line
};

// false and why when there is a state that cannot be trusted: then state is
// a fresh one. ownOnly: only root's or this user's (deliver); else also the
// folder's group's (status, run by an adder).
bool readState(int fd, const std::string &report, bool ownOnly, State &state, std::string &why);
bool writeState(const Outbox &outbox, int fd, const std::string &report, const State &state, std::string &why);
