#include "trust.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::string userName(uid_t uid)
{
    passwd *user = getpwuid(uid);
    return user ? user->pw_name : "uid " + std::to_string(uid);
}

// Why a folder, as st says, cannot be trusted; "" if it can.
std::string distrust(const struct stat &st, bool mine)
{
    uid_t me = geteuid();
    if (!S_ISDIR(st.st_mode))
        return " is not a folder";
    std::string allowed = mine || me == 0 ? userName(me) + "'s" : "root's or " + userName(me) + "'s";
    if (mine ? st.st_uid != me : st.st_uid != 0 && st.st_uid != me)
        return " is " + userName(st.st_uid) + "'s, not " + allowed;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && (mine || !(st.st_mode & S_ISVTX)))
        return ": other users can write in it";
    return "";
}

} // namespace

int openTrusted(const std::string &path, bool mine, std::string &canonical, std::string &why)
{
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved)) {
        why = "cannot open " + path + ": " + strerror(errno);
        return -1;
    }
    canonical = resolved;
    std::vector<std::string> names;
    for (size_t start = 1, end; start < canonical.size(); start = end + 1) {
        end = std::min(canonical.find('/', start), canonical.size());
        names.push_back(canonical.substr(start, end - start));
    }
    // Folder by folder through descriptors: what is checked is what is opened.
    int fd = open("/", (names.empty() ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC);
    std::string walked;
    for (size_t i = 0; fd >= 0; i++) {
        struct stat st;
        std::string doubt = fstat(fd, &st) != 0 ? strerror(errno) : distrust(st, mine && i == names.size());
        if (!doubt.empty()) {
            why = "refusing " + canonical + ": ";
            why += walked.empty() ? "/" : walked;
            why += doubt;
            close(fd);
            return -1;
        }
        if (i == names.size())
            return fd;
        int flags = (i + 1 == names.size() ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = openat(fd, names[i].c_str(), flags);
        close(fd);
        fd = next;
        walked += "/" + names[i];
    }
    why = "cannot open " + walked + ": " + strerror(errno);
    return -1;
}

void removeTree(int dirFd, const char *name)
{
    if (unlinkat(dirFd, name, 0) == 0 || (errno != EISDIR && errno != EPERM))
        return;
    int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    DIR *dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return;
    }
    while (dirent *entry = readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            removeTree(fd, entry->d_name);
    closedir(dir);
    unlinkat(dirFd, name, AT_REMOVEDIR);
}
