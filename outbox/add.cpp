#include "add.h"

#include "say.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const int kTries = 3;

// Set by root or the user of an outbox of one's own: adders cannot write in
// the outbox's folder. One that cannot be read refuses every report rather
// than let them pass.
bool maxBytes(const Outbox &outbox, uint64_t &limit, std::string &why)
{
    struct stat st;
    limit = kDefaultMaxBytes;
    if (fstatat(outbox.fd, "max-bytes", &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
        return true;
    int file = openEntry(outbox.fd, "max-bytes", true, st, why);
    char text[32] = {};
    ssize_t n = file < 0 ? -1 : read(file, text, sizeof text - 1);
    if (file >= 0)
        close(file);
    char *end = text;
    limit = n > 0 ? strtoull(text, &end, 10) : 0;
    if (end == text || (*end && *end != '\n')) {
        why = "the outbox's max-bytes cannot be read as a number of bytes" + (why.empty() ? "" : ": " + why);
        return false;
    }
    return true;
}

std::string failure(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

// Standard input into file, up to room bytes.
bool copyReport(int file, std::string &why, uint64_t room)
{
    static char buffer[1 << 16];
    uint64_t total = 0;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd in = {STDIN_FILENO, POLLIN, 0};
            poll(&in, 1, -1);
            continue;
        }
        if (n < 0) {
            why = failure("cannot read the report");
            return false;
        }
        total += static_cast<uint64_t>(n);
        if (total > room) {
            why = "over its limit";
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t written = write(file, buffer + done, static_cast<size_t>(n - done));
            if (written < 0 && errno != EINTR) {
                why = failure("cannot store the report");
                return false;
            }
            done += written > 0 ? written : 0;
        }
    }
}

bool writeTemporary(const Outbox &outbox, const std::string &temporary, uint64_t room, std::string &why)
{
    int file = openat(outbox.tmp, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (file < 0) {
        why = failure("cannot store the report");
        return false;
    }
    // Readable by the outbox's group whatever the adder's umask: deliver reads it so.
    bool written = fchmod(file, 0640) == 0 && copyReport(file, why, room) && fsync(file) == 0;
    if (close(file) != 0 || !written) {
        if (why.empty())
            why = failure("cannot store the report");
        return false;
    }
    return true;
}

// Never over another report: a clash of names only takes another name.
bool queueReport(const Outbox &outbox, const std::string &temporary, std::string &why)
{
    std::string name = newName();
    for (int i = 1; renameat2(outbox.tmp, temporary.c_str(), outbox.queue, name.c_str(), RENAME_NOREPLACE) != 0;
         i++) {
        if (errno != EEXIST || i == kTries) {
            why = failure("cannot queue the report");
            return false;
        }
        name = newName();
    }
    if (fsync(outbox.queue) != 0) {
        why = failure("cannot queue the report");
        unlinkat(outbox.queue, name.c_str(), 0); // not durably queued: not queued
        return false;
    }
    return true;
}

} // namespace

int add(const Outbox &outbox)
{
    uint64_t limit = 0, held = folderBytes(outbox.queue) + folderBytes(outbox.failed);
    std::string temporary = std::to_string(getpid()) + "." + newName(), why;
    if (!maxBytes(outbox, limit, why)) {
        say(why + ": nothing queued");
        return 1;
    }
    if (writeTemporary(outbox, temporary, limit > held ? limit - held : 0, why) && queueReport(outbox, temporary, why))
        return 0;
    unlinkat(outbox.tmp, temporary.c_str(), 0);
    if (why == "over its limit")
        why = "the outbox " + outbox.path + " is over its limit of " + std::to_string(limit) + " bytes (" +
              std::to_string(held) + " held)";
    say(why + ": nothing queued");
    return 1;
}
