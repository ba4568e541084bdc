// The commit step: nginx has received a report body into a file in the
// spool's incoming folder; this makes it durable, names it and answers.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

struct CommitSettings {
    int spoolFd = -1;    // the spool directory
    int incomingFd = -1; // where nginx writes bodies, in the spool
    uid_t worker = 0;    // whose bodies nginx's workers write, and who reaches the socket
    gid_t workerGroup = 0;
    uint64_t maxBytes = 0;
    bool dedup = false;  // name a report by its SHA-256, store it once
};

struct Commit;

// Serves nginx on a unix socket named name in the folder dir (open as dirFd),
// that only the workers' user can reach (the spool's lock says that no other
// server uses it). nullptr and why if it cannot.
Commit *startCommit(const CommitSettings &settings, int dirFd, const std::string &dir, const char *name,
                    std::string &why);
// false and why if its socket was removed or replaced.
bool commitIntact(const Commit *commit, std::string &why);
void stopCommit(Commit *commit);
