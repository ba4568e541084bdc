// The outbox on disk: its folders, the names of reports, and opening an
// entry so that nothing but a report is ever read.
//   tmp/     temporaries, named <pid>.<final name>, renamed into place
//   queue/   reports, named <nanoseconds, 20 digits>-<pid>, and <name>.state
//   failed/  reports given up on, with their last state
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

extern const char kDefaultOutbox[];
extern const char kStateSuffix[];

struct Outbox {
    std::string path;
    int fd = -1; // O_PATH: adders may only pass through the outbox's own folder
    int tmp = -1, queue = -1, failed = -1;
};

// make: create what is missing, private to this user. false and why (one
// line) when the outbox cannot be had.
bool openOutbox(const std::string &path, bool make, Outbox &outbox, std::string &why);
void closeOutbox(Outbox &outbox);

// A name that sorts by arrival; the rename that uses it refuses to replace.
std::string newName();
// Whether name is a report's, and then when it was added, in seconds.
bool isReportName(const std::string &name, int64_t *added = nullptr);

// The reports in folder fd, oldest first; other entries but states in strays.
bool listReports(int fd, std::vector<std::string> &names, std::vector<std::string> &strays,
                 std::string &why);

// Opens entry name of folder fd for reading if it is a regular file with one
// link belonging to root, to this user or (unless ownOnly) to the folder's
// group; else -1 and why. Never follows a link; never blocks on a fifo.
int openEntry(int fd, const std::string &name, bool ownOnly, struct stat &st, std::string &why);

// Removes the temporaries of processes that are gone.
void sweepTemporaries(const Outbox &outbox);

// The bytes held in regular files of folder fd.
uint64_t folderBytes(int fd);
