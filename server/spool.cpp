#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

const char kIncomingPrefix[] = ".incoming-";

// Made, or found made, as a folder only our own user can enter.
bool privateFolder(const std::string &path, std::string &why)
{
    struct stat st;
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        why = "cannot write in spool: " + path + ": " + strerror(errno);
        return false;
    }
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0) {
        why = path + " must be a folder of this user's that no other user can enter";
        return false;
    }
    return true;
}

int openFolder(const std::string &path)
{
    return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The process group of pid, or 0 if it is gone.
pid_t groupOf(const std::string &pid)
{
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
        return 0;
    // After the name in parentheses: state, parent, process group.
    std::istringstream fields(line.substr(line.rfind(')') + 1));
    char state;
    long parent, group = 0;
    fields >> state >> parent >> group;
    return static_cast<pid_t>(group);
}

} // namespace

bool openSpool(const std::string &dir, bool site, Spool &spool, std::string &why)
{
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
        why = "cannot create spool " + dir + ": " + error.message();
        return false;
    }
    spool.path = std::filesystem::absolute(dir, error).lexically_normal().string();
    if (spool.path.size() > 1 && spool.path.back() == '/')
        spool.path.pop_back();
    removeLeftovers(spool.path, kIncomingPrefix);
    if (site) {
        spool.site = spool.path + "/.site";
        spool.incoming = spool.site + "/incoming";
        if (!privateFolder(spool.site, why) || !privateFolder(spool.incoming, why))
            return false;
        spool.siteFd = openFolder(spool.site);
    } else {
        spool.incoming = spool.path + "/" + kIncomingPrefix + std::to_string(getpid());
        if (mkdir(spool.incoming.c_str(), 0700) != 0 && errno != EEXIST) {
            why = "cannot write in spool " + dir + ": " + strerror(errno);
            return false;
        }
    }
    spool.fd = openFolder(spool.path);
    spool.incomingFd = openFolder(spool.incoming);
    if (spool.fd < 0 || spool.incomingFd < 0 || (site && spool.siteFd < 0)) {
        why = "cannot open spool " + dir + ": " + strerror(errno);
        return false;
    }
    return true;
}

void closeSpool(Spool &spool)
{
    std::error_code ignored;
    if (spool.site.empty() && !spool.incoming.empty())
        std::filesystem::remove_all(spool.incoming, ignored);
    for (int fd : {spool.fd, spool.incomingFd, spool.siteFd})
        if (fd >= 0)
            close(fd);
    spool = Spool{};
}

// Nothing else is touched: not a link, not a folder of another user's,
// wherever the parent is.
void removeLeftovers(const std::string &parent, const std::string &prefix)
{
    DIR *dir = opendir(parent.c_str());
    if (!dir)
        return;
    int fd = dirfd(dir);
    while (dirent *entry = readdir(dir)) {
        if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0)
            continue;
        char *end;
        long pid = strtol(entry->d_name + prefix.size(), &end, 10);
        std::error_code ignored;
        struct stat st;
        if ((*end == '\0' || *end == '.') && pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 &&
            errno == ESRCH && fd >= 0 && fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode) && st.st_uid == geteuid())
            std::filesystem::remove_all(parent + "/" + entry->d_name, ignored);
    }
    closedir(dir);
}

// A body's age says nothing (nginx writes a slow body only when a buffer
// fills); whether an nginx process holds it open does. The bodies are listed
// first, so one that comes after is not judged.
void removeOrphans(const Spool &spool, pid_t group)
{
    std::map<ino_t, std::string> bodies;
    dirent *entry;
    DIR *incoming = fdopendir(openat(spool.incomingFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    while (incoming && (entry = readdir(incoming)))
        if (fstatat(spool.incomingFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode))
            bodies[st.st_ino] = entry->d_name;
    if (incoming)
        closedir(incoming);
    DIR *proc = bodies.empty() ? nullptr : opendir("/proc");
    while (proc && (entry = readdir(proc))) {
        std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || groupOf(pid) != group)
            continue;
        DIR *fds = opendir(("/proc/" + pid + "/fd").c_str());
        if (!fds && errno != ENOENT)
            bodies.clear(); // cannot tell: keep them all
        while (fds && (entry = readdir(fds)))
            if (fstatat(dirfd(fds), entry->d_name, &st, 0) == 0)
                bodies.erase(st.st_ino);
        if (fds)
            closedir(fds);
    }
    if (proc)
        closedir(proc);
    for (const auto &body : bodies)
        unlinkat(spool.incomingFd, body.second.c_str(), 0);
}
