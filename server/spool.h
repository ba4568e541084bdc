// The spool: the folder reports are stored in, held by one server at a time;
// its folder .incoming, where nginx receives bodies; and what a body whose
// writer died leaves there.
#pragma once

#include <sys/types.h>

#include <string>

struct Spool {
    std::string path;     // absolute, without links
    std::string incoming; // where nginx writes bodies
    int fd = -1, incomingFd = -1;
    dev_t dev = 0;
    ino_t ino = 0, incomingIno = 0;
};

// Opens dir, made if missing, once the rule of openTrusted holds for it; locks
// it for this process and gives .incoming to the user nginx's workers run as.
// false and why if the spool cannot be had.
bool openSpool(const std::string &dir, uid_t worker, gid_t workerGroup, Spool &spool, std::string &why);
void closeSpool(Spool &spool);
// false and why if the spool or its .incoming was removed or replaced.
bool spoolIntact(const Spool &spool, std::string &why);
// Removes bodies that no process holds open any more: those of a worker that
// died, whatever nginx it belonged to.
void removeOrphans(const Spool &spool);
