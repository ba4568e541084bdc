#include "nginx.h"
#include "conf.h"
#include "listen.h"
#include "log.h"
#include "spool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

const char kRuntimePrefix[] = "tovrin-report-server-";

void tell(Nginx &nginx, const std::string &line)
{
    std::lock_guard<std::mutex> lock(nginx.mutex);
    if (nginx.holding)
        nginx.held += line;
    else
        logLines(line);
}

// Line by line, so that a line dropped leaves no half behind.
void relayOutput(Nginx *nginx, int fd)
{
    char buffer[4096];
    std::string pending;
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        pending.append(buffer, static_cast<size_t>(got));
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
            tell(*nginx, pending.substr(start, end + 1 - start));
        pending.erase(0, start);
        if (pending.size() >= sizeof buffer) { // no line is that long: cut it
            tell(*nginx, pending + "\n");
            pending.clear();
        }
    }
    if (!pending.empty())
        tell(*nginx, pending + "\n");
    close(fd);
}

std::string lastLine(const std::string &text)
{
    size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos)
        return "no message";
    size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start + 1));
}

} // namespace

bool findNginx(Nginx &nginx, std::string &why)
{
    const char *env = getenv("PATH");
    std::string path = env ? env : "";
    // Unprivileged users often lack the sbin directories on their PATH.
    path += ":/usr/sbin:/usr/local/sbin";
    for (size_t start = 0, end; start <= path.size(); start = end + 1) {
        end = std::min(path.find(':', start), path.size());
        nginx.binary = path.substr(start, end - start) + "/nginx";
        if (end > start && access(nginx.binary.c_str(), X_OK) == 0)
            return true;
    }
    why = "nginx not found: install nginx-light (or nginx)";
    return false;
}

// The certificate, key and body folder are linked in, so no path of the
// user's is ever written into the configuration.
bool makeRuntimeDir(Nginx &nginx, const NginxSetup &setup, std::string &why)
{
    const char *base = getenv("RUNTIME_DIRECTORY");
    base = base ? base : getenv("XDG_RUNTIME_DIR");
    base = base ? base : getenv("TMPDIR");
    std::string parent = base && *base ? base : "/tmp";
    removeLeftovers(parent, kRuntimePrefix);
    std::string dir = parent + "/" + kRuntimePrefix + std::to_string(getpid()) + ".XXXXXX";
    if (!mkdtemp(&dir[0])) {
        why = "cannot make a runtime directory in " + parent + ": " + strerror(errno);
        return false;
    }
    nginx.runtimeDir = dir;
    nginx.runtimeFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::error_code error;
    for (const auto &[link, target] : {std::pair<const char *, std::string>{"cert.pem", setup.cert},
                                       {"key.pem", setup.key},
                                       {"incoming", setup.incoming}})
        if (nginx.runtimeFd < 0 ||
            symlinkat(std::filesystem::absolute(target, error).c_str(), nginx.runtimeFd, link)) {
            why = "cannot write in runtime directory " + dir + ": " + strerror(errno);
            return false;
        }

    // Two descriptors a request while nginx talks to the commit step.
    rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 20000);
    setrlimit(RLIMIT_NOFILE, &files);
    return writeFile(dir + "/nginx.conf", nginxConf(setup.listen, std::max<rlim_t>(files.rlim_cur / 2, 64)),
                     why) &&
           writeFile(dir + "/report.conf", setup.report, why);
}

bool startNginx(Nginx &nginx, std::string &why)
{
    // Made before fork: the child of a threaded process must not allocate.
    std::string prefix = nginx.runtimeDir + "/";
    setenv("TZ", "UTC", 1);
    // Workers whose master is gone come to us, to be ended with it.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    int out[2];
    if (pipe2(out, O_CLOEXEC) == 0)
        nginx.pid = fork();
    if (nginx.pid < 0) {
        why = std::string("cannot start nginx: ") + strerror(errno);
        return false;
    }
    if (nginx.pid == 0) {
        setpgid(0, 0);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close_range(3, ~0U, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // A server killed outright takes its nginx with it: at once, as
        // nothing would commit what its uploads in flight received.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The commit socket is named relative to it.
        if (chdir(prefix.c_str()) == 0)
            execl(nginx.binary.c_str(), "nginx", "-p", prefix.c_str(), "-c", "nginx.conf", "-e", "stderr",
                  static_cast<char *>(nullptr));
        _exit(127);
    }
    setpgid(nginx.pid, nginx.pid); // either of us may be first
    close(out[1]);
    nginx.relay = std::thread(relayOutput, &nginx, out[0]);
    return true;
}

bool waitUntilListening(Nginx &nginx, const std::vector<std::string> &addresses, int port,
                        std::string &why)
{
    for (int i = 0; i < 1000; i++) {
        if (waitpid(nginx.pid, nullptr, WNOHANG) == nginx.pid) {
            endNginx(nginx); // its output is whole at the end of the pipe
            why = "nginx did not start: " + lastLine(nginx.held);
            return false;
        }
        if (std::all_of(addresses.begin(), addresses.end(),
                        [port](const std::string &address) { return accepts(address, port); })) {
            std::lock_guard<std::mutex> lock(nginx.mutex);
            nginx.holding = false;
            logLines(nginx.held);
            return true;
        }
        usleep(10000);
    }
    why = "nginx did not start listening in 10 s";
    return false;
}

bool nginxEnded(Nginx &nginx, std::string &how)
{
    int status;
    if (nginx.pid <= 0 || waitpid(nginx.pid, &status, WNOHANG) != nginx.pid)
        return false;
    how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                              : "exit status " + std::to_string(WEXITSTATUS(status));
    return true;
}

void stopNginx(Nginx &nginx)
{
    if (nginx.pid > 0 && kill(nginx.pid, SIGQUIT) == 0)
        waitpid(nginx.pid, nullptr, 0);
}

void endNginx(Nginx &nginx)
{
    // Workers that outlived their master would hold the port, answering 502,
    // and our log pipe; they are ours now, in its process group.
    if (nginx.pid > 0)
        kill(-nginx.pid, SIGKILL);
    while (nginx.pid > 0 && (waitpid(-nginx.pid, nullptr, 0) > 0 || errno == EINTR))
        ;
    nginx.pid = -1;
    if (nginx.relay.joinable())
        nginx.relay.join();
    if (nginx.runtimeFd >= 0)
        close(nginx.runtimeFd);
    nginx.runtimeFd = -1;
    std::error_code ignored;
    if (!nginx.runtimeDir.empty())
        std::filesystem::remove_all(nginx.runtimeDir, ignored);
    nginx.runtimeDir.clear();
}
