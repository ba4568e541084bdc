#include "queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

const char kDefaultOutbox[] = "/var/spool/tovrin-report-outbox";
const char kStateSuffix[] = ".state";

namespace {

const int kNameDigits = 20;

int openFolder(int parent, const char *name, bool make, std::string &why)
{
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && make && (mkdirat(parent, name, 0700) == 0 || errno == EEXIST))
        fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        why = std::string("cannot open its folder ") + name + ": " + strerror(errno);
    return fd;
}

DIR *reopen(int fd)
{
    int copy = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = copy >= 0 ? fdopendir(copy) : nullptr;
    if (copy >= 0 && !dir)
        close(copy);
    return dir;
}

} // namespace

bool openOutbox(const std::string &path, bool make, Outbox &outbox, std::string &why)
{
    outbox.path = path;
    if (make && mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        why = "cannot make the outbox " + path + ": " + strerror(errno);
        return false;
    }
    outbox.fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (outbox.fd < 0) {
        why = "cannot open the outbox " + path + ": " + strerror(errno);
        return false;
    }
    std::string what;
    outbox.tmp = openFolder(outbox.fd, "tmp", make, what);
    outbox.queue = outbox.tmp < 0 ? -1 : openFolder(outbox.fd, "queue", make, what);
    outbox.failed = outbox.queue < 0 ? -1 : openFolder(outbox.fd, "failed", make, what);
    if (outbox.failed < 0)
        why = "the outbox " + path + ": " + what;
    return outbox.failed >= 0;
}

void closeOutbox(Outbox &outbox)
{
    for (int fd : {outbox.fd, outbox.tmp, outbox.queue, outbox.failed})
        if (fd >= 0)
            close(fd);
    outbox = Outbox{};
}

std::string newName()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char name[64];
    snprintf(name, sizeof name, "%0*lld-%ld", kNameDigits,
             static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec, static_cast<long>(getpid()));
    return name;
}

bool isReportName(const std::string &name, int64_t *added)
{
    size_t dash = name.find('-');
    if (dash != static_cast<size_t>(kNameDigits) || dash + 1 == name.size() || dash + 11 < name.size() ||
        name.find_first_not_of("0123456789-") != std::string::npos || name.find('-', dash + 1) != std::string::npos)
        return false;
    errno = 0;
    unsigned long long nanoseconds = strtoull(name.c_str(), nullptr, 10);
    if (added)
        *added = static_cast<int64_t>(nanoseconds / 1000000000ULL);
    return errno != ERANGE;
}

bool listReports(int fd, std::vector<std::string> &names, std::vector<std::string> &strays, std::string &why)
{
    DIR *dir = reopen(fd);
    if (!dir) {
        why = std::string("cannot list the queue: ") + strerror(errno);
        return false;
    }
    names.clear();
    strays.clear();
    size_t suffix = strlen(kStateSuffix);
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        bool state = name.size() > suffix && name.compare(name.size() - suffix, suffix, kStateSuffix) == 0 &&
                     isReportName(name.substr(0, name.size() - suffix));
        if (isReportName(name))
            names.push_back(name);
        else if (!state && name != "." && name != "..")
            strays.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return true;
}

int openEntry(int fd, const std::string &name, bool ownOnly, struct stat &st, std::string &why)
{
    int entry = openat(fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat folder{};
    if (entry < 0) {
        why = errno == ELOOP ? "a symbolic link" : strerror(errno);
        return -1;
    }
    // Blocking again for the reader: a fifo is refused below, never read.
    if (fstat(entry, &st) != 0 || fstat(fd, &folder) != 0 ||
        fcntl(entry, F_SETFL, fcntl(entry, F_GETFL) & ~O_NONBLOCK) != 0)
        why = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = S_ISDIR(st.st_mode) ? "a folder" : "not a regular file";
    else if (st.st_nlink != 1)
        why = "a file with other links";
    else if (st.st_uid != 0 && st.st_uid != geteuid() && (ownOnly || st.st_gid != folder.st_gid))
        why = "owned by user " + std::to_string(st.st_uid) + (ownOnly ? "" : ", not of the outbox's group");
    else
        return entry;
    close(entry);
    return -1;
}

// A temporary's writer is named by the digits before its first dot; one whose
// process is gone will never rename it. unlinkat follows nothing.
void sweepTemporaries(const Outbox &outbox)
{
    DIR *dir = reopen(outbox.tmp);
    while (dirent *entry = dir ? readdir(dir) : nullptr) {
        char *end;
        long pid = strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '.' && pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 &&
            errno == ESRCH)
            unlinkat(outbox.tmp, entry->d_name, 0);
    }
    if (dir)
        closedir(dir);
}

uint64_t folderBytes(int fd)
{
    uint64_t bytes = 0;
    DIR *dir = reopen(fd);
    while (dirent *entry = dir ? readdir(dir) : nullptr) {
        struct stat st;
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            bytes += static_cast<uint64_t>(st.st_size);
    }
    if (dir)
        closedir(dir);
    return bytes;
}
