#include "log.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

namespace {

std::mutex logMutex;
int logFd = STDERR_FILENO;
bool logSocket = false;
unsigned long long dropped = 0;

unsigned long long lineCount(const std::string &text)
{
    return static_cast<unsigned long long>(std::count(text.begin(), text.end(), '\n'));
}

std::string unfinished; // the rest of what standard error took only in part

// How many bytes of text standard error takes now.
size_t writeNow(const std::string &text)
{
    size_t at = 0;
    while (at < text.size()) {
        ssize_t put = logSocket ? send(logFd, text.data() + at, text.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL)
                                : write(logFd, text.data() + at, text.size() - at);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break;
        at += static_cast<size_t>(put);
    }
    return at;
}

// Whether standard error took text, whole or in part: a part is finished
// before anything else is written, so that no line is cut or glued to another.
bool put(const std::string &text)
{
    size_t taken = writeNow(text);
    if (taken > 0 && taken < text.size())
        unfinished = text.substr(taken);
    return taken > 0;
}

} // namespace

void openLog()
{
    struct stat st;
    if (fstat(STDERR_FILENO, &st) != 0)
        return;
    // Our own file description of the same pipe or terminal, non-blocking
    // without changing the one we share with whoever started us. A file
    // keeps its own: a new description would write from offset 0.
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        int fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            logFd = fd;
    }
    logSocket = S_ISSOCK(st.st_mode);
}

void logLines(const std::string &text)
{
    std::lock_guard<std::mutex> lock(logMutex);
    std::string begun;
    begun.swap(unfinished);
    if (!begun.empty()) {
        size_t taken = writeNow(begun);
        if (taken < begun.size()) {
            unfinished = begun.substr(taken);
            dropped += lineCount(text);
            return;
        }
    }
    if (dropped > 0) {
        std::string told = "tovrin-report-server: " + std::to_string(dropped) +
                           " log lines dropped: standard error was not taking them\n";
        if (!put(told)) {
            dropped += lineCount(text);
            return;
        }
        dropped = 0;
    }
    if (!unfinished.empty() || !put(text))
        dropped += lineCount(text);
}
