// The spool: the folder reports are stored in, the folder nginx receives
// bodies into, and what a crash left in either.
#pragma once

#include <sys/types.h>

#include <string>

struct Spool {
    std::string path;     // absolute
    std::string incoming; // where nginx writes bodies
    int fd = -1, incomingFd = -1;
    std::string site;     // --snippet: the private folder of the commit step's socket
    int siteFd = -1;
};

// site: for a site's nginx, bodies go to a folder that stays the same from
// one start to the next, beside the commit step's socket. false and why if
// the spool cannot be had.
bool openSpool(const std::string &dir, bool site, Spool &spool, std::string &why);
// Removes the incoming folder of our own nginx; a site's stays for it.
void closeSpool(Spool &spool);

// Folders in parent named prefix, a process id, then nothing or a dot, whose
// process is gone, and that are real folders of our own user.
void removeLeftovers(const std::string &parent, const std::string &prefix);

// Removes bodies that no process in nginx's process group holds open: those
// of a worker that died.
void removeOrphans(const Spool &spool, pid_t group);
