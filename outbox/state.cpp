#include "state.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const size_t kMaxState = 4096;

} // namespace

bool readState(int fd, const std::string &report, bool ownOnly, State &state, std::string &why)
{
    state = State{};
    std::string name = report + kStateSuffix;
    struct stat st;
    if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
        return true;
    int file = openEntry(fd, name, ownOnly, st, why);
    if (file < 0)
        return false;
    char text[kMaxState];
    ssize_t n = read(file, text, sizeof text);
    close(file);
    if (n < 0) {
        why = strerror(errno);
        return false;
    }
    std::string lines(text, static_cast<size_t>(n));
    for (size_t start = 0, end; start < lines.size(); start = end + 1) {
        end = std::min(lines.find('\n', start), lines.size());
        std::string line = lines.substr(start, end - start);
        size_t space = line.find(' ');
        std::string key = line.substr(0, space), value = space == std::string::npos ? "" : line.substr(space + 1);
        long long number = strtoll(value.c_str(), nullptr, 10);
        if (key == "attempts")
            state.attempts = static_cast<int>(std::min(std::max(number, 0LL), 1000000LL));
        else if (key == "last")
            state.last = number;
        else if (key == "next")
            state.next = number;
        else if (key == "message")
            state.message = value;
    }
    return true;
}

// As a report is added: written in tmp/, flushed, renamed into place, the
// folder flushed.
bool writeState(const Outbox &outbox, int fd, const std::string &report, const State &state, std::string &why)
{
    std::string message = state.message;
    for (char &c : message)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '?';
    std::string text = "attempts " + std::to_string(state.attempts) + "\nlast " + std::to_string(state.last) +
                       "\nnext " + std::to_string(state.next) + "\nmessage " + message + "\n";
    std::string name = report + kStateSuffix, temporary = std::to_string(getpid()) + "." + name;
    unlinkat(outbox.tmp, temporary.c_str(), 0); // a leftover of a process that had our pid
    int file = openat(outbox.tmp, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    bool written = file >= 0 && write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                   fsync(file) == 0;
    if ((file >= 0 && close(file) != 0) || !written || renameat(outbox.tmp, temporary.c_str(), fd, name.c_str()) != 0 ||
        fsync(fd) != 0) {
        why = "cannot write " + name + ": " + strerror(errno);
        unlinkat(outbox.tmp, temporary.c_str(), 0);
        return false;
    }
    return true;
}
