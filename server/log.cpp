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

// All of it or nothing: a pipe takes up to PIPE_BUF bytes whole.
bool writeNow(const char *data, size_t size)
{
    while (size > 0) {
        ssize_t put = logSocket ? send(logFd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                : write(logFd, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
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
    if (dropped > 0) {
        std::string told = "tovrin-report-server: " + std::to_string(dropped) +
                           " log lines dropped: standard error was not taking them\n";
        if (!writeNow(told.data(), told.size())) {
            dropped += lineCount(text);
            return;
        }
        dropped = 0;
    }
    if (!writeNow(text.data(), text.size()))
        dropped += lineCount(text);
}
