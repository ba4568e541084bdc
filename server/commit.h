// The commit step: nginx has received a report body into a file in the
// spool's incoming folder; this makes it durable, names it and answers.
#pragma once

#include <cstdint>
#include <string>

struct CommitSettings {
    int spoolFd = -1;    // the spool directory
    int incomingFd = -1; // where nginx writes bodies, in the spool
    uint64_t maxBytes = 0;
    bool dedup = false;  // name a report by its SHA-256, store it once
    std::string token;   // made at start; nginx proves itself with it on every request
};

// Listens on 127.0.0.1 at a free port, answering on threads of its own:
// the port, or 0.
int startCommit(CommitSettings &settings);
void stopCommit();
