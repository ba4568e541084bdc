#include "spool.h"
#include "trust.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

const char kIncoming[] = ".incoming";

} // namespace

bool openSpool(const std::string &dir, uid_t worker, gid_t workerGroup, Spool &spool, std::string &why)
{
    // Missing folders above it are made as mkdir -p makes them; the spool is private.
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(dir, error).lexically_normal();
    std::filesystem::create_directories(absolute.parent_path(), error);
    if (error || (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)) {
        why = "cannot create spool " + dir + ": " + (error ? error.message() : strerror(errno));
        return false;
    }
    spool.fd = openTrusted(dir, true, spool.path, why);
    if (spool.fd < 0)
        return false;
    // One server a spool: the lock goes with this process, however it ends.
    if (flock(spool.fd, LOCK_EX | LOCK_NB) != 0) {
        why = "another tovrin-report-server serves the spool " + spool.path;
        return false;
    }
    spool.incoming = spool.path + "/" + kIncoming;
    struct stat st{};
    if (mkdirat(spool.fd, kIncoming, 0700) != 0 && errno != EEXIST) {
        why = "cannot write in spool " + spool.path + ": " + strerror(errno);
        return false;
    }
    spool.incomingFd = openat(spool.fd, kIncoming, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (spool.incomingFd < 0 || fstat(spool.incomingFd, &st) != 0) {
        why = "cannot open " + spool.incoming + ": " + strerror(errno);
        return false;
    }
    if (st.st_uid != worker && (geteuid() != 0 || fchown(spool.incomingFd, worker, workerGroup) != 0)) {
        why = spool.incoming + " must be a folder of this user's";
        return false;
    }
    if ((st.st_mode & 07777) != 0700 && fchmod(spool.incomingFd, 0700) != 0) {
        why = "cannot make " + spool.incoming + " private: " + strerror(errno);
        return false;
    }
    struct stat top;
    fstat(spool.fd, &top);
    spool.dev = top.st_dev;
    spool.ino = top.st_ino;
    spool.incomingIno = st.st_ino;
    removeOrphans(spool);
    return true;
}

void closeSpool(Spool &spool)
{
    for (int fd : {spool.fd, spool.incomingFd})
        if (fd >= 0)
            close(fd);
    spool = Spool{};
}

bool spoolIntact(const Spool &spool, std::string &why)
{
    struct stat top, incoming;
    if (lstat(spool.path.c_str(), &top) != 0 || top.st_dev != spool.dev || top.st_ino != spool.ino)
        why = "the spool " + spool.path + " was removed or replaced";
    else if (fstatat(spool.fd, kIncoming, &incoming, AT_SYMLINK_NOFOLLOW) != 0 ||
             incoming.st_dev != spool.dev || incoming.st_ino != spool.incomingIno)
        why = spool.incoming + " was removed or replaced";
    return why.empty();
}

// A body's age says nothing (nginx writes a slow body only when a buffer
// fills); whether anyone holds it open does. A write lease is granted only on
// a file nobody else has open, and nginx keeps a body open until its request
// ends: it is not granted while a worker receives or hands over the body, nor
// while the commit step reads it.
void removeOrphans(const Spool &spool)
{
    int fd = openat(spool.incomingFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *incoming = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!incoming && fd >= 0)
        close(fd);
    while (dirent *entry = incoming ? readdir(incoming) : nullptr) {
        int body = openat(spool.incomingFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st, now;
        if (body >= 0 && fstat(body, &st) == 0 && S_ISREG(st.st_mode) &&
            fcntl(body, F_SETLEASE, F_WRLCK) == 0 &&
            fstatat(spool.incomingFd, entry->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == st.st_ino)
            unlinkat(spool.incomingFd, entry->d_name, 0);
        if (body >= 0)
            close(body);
    }
    if (incoming)
        closedir(incoming);
}
