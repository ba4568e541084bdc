#include "run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

const size_t kKeep = 1024;

int64_t nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// In the child, its standard input and output in place.
[[noreturn]] void startTool(const Tool &tool, pid_t parent)
{
    setpgid(0, 0);
    // A deliver killed mid-attempt leaves no tool behind to send the report
    // a second time beside the next deliver's attempt.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
        _exit(127);
    signal(SIGPIPE, SIG_DFL);
    const char *argv[] = {"tovrin-report", "--ca-path", tool.caPath.c_str(), nullptr};
    if (tool.caPath.empty())
        argv[1] = nullptr;
    execv(tool.path.c_str(), const_cast<char *const *>(argv));
    _exit(127);
}

} // namespace

bool toolBeside(Tool &tool, std::string &why)
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        why = std::string("cannot find this program's folder: ") + strerror(errno);
        return false;
    }
    std::string path(self, static_cast<size_t>(n));
    tool.path = path.substr(0, path.rfind('/') + 1) + "tovrin-report";
    if (access(tool.path.c_str(), X_OK) != 0) {
        why = "cannot run " + tool.path + ": " + strerror(errno);
        return false;
    }
    return true;
}

ToolRun runTool(const Tool &tool, int reportFd)
{
    ToolRun run;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        run.trouble = std::string("cannot run the tool: ") + strerror(errno);
        return run;
    }
    pid_t parent = getpid(), pid = fork();
    if (pid == 0) {
        if (dup2(reportFd, STDIN_FILENO) < 0 || dup2(pipeFds[1], STDOUT_FILENO) < 0)
            _exit(127);
        startTool(tool, parent);
    }
    close(pipeFds[1]);
    // The system call: the C library of Debian 12 declares no C linkage for it.
    int exited = pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
    if (exited < 0) {
        run.trouble = std::string("cannot run the tool: ") + strerror(errno);
        if (pid > 0)
            kill(pid, SIGKILL);
    } else {
        setpgid(pid, pid); // also here: the group must exist before it can be killed
    }

    // Its output is read to the end, whatever its length; the start is kept.
    int64_t deadline = nowMs() + tool.timeout * 1000LL;
    pollfd fds[2] = {{pipeFds[0], POLLIN, 0}, {exited, POLLIN, 0}};
    bool gone = false;
    while (exited >= 0 && !(gone && fds[0].fd < 0)) {
        int64_t left = deadline - nowMs();
        int ready = left > 0 ? poll(fds, 2, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            kill(-pid, SIGKILL);
            run.trouble = "no outcome within " + std::to_string(tool.timeout) + " s: the tool was killed";
            break;
        }
        gone = gone || fds[1].revents != 0;
        char buffer[4096];
        ssize_t n = fds[0].fd >= 0 && fds[0].revents ? read(pipeFds[0], buffer, sizeof buffer) : 0;
        size_t room = kKeep - std::min(kKeep, run.output.size());
        if (n > 0)
            run.output.append(buffer, std::min(static_cast<size_t>(n), room));
        // Its end, or exited with nothing left (a child of its own holding the pipe).
        else if (n == 0 ? fds[0].revents || gone : errno != EINTR)
            fds[0].fd = -1;
    }
    close(pipeFds[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && run.trouble.empty()) {
        if (WIFEXITED(status) && WEXITSTATUS(status) != 127)
            run.status = WEXITSTATUS(status);
        else if (WIFEXITED(status))
            run.trouble = "cannot run " + tool.path;
        else
            run.trouble = "the tool was ended by signal " + std::to_string(WTERMSIG(status));
    }
    if (exited >= 0)
        close(exited);
    return run;
}
