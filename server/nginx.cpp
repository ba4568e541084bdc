#include "nginx.h"
#include "conf.h"
#include "listen.h"
#include "log.h"
#include "trust.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// Folders in parentFd named prefix, a process id, then nothing or a dot, whose
// process is gone and that are real folders of our own user: nothing else.
void removeLeftovers(int parentFd, const std::string &prefix)
{
    int fd = openat(parentFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!dir && fd >= 0)
        close(fd);
    while (dirent *entry = dir ? readdir(dir) : nullptr) {
        if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0)
            continue;
        char *end;
        long pid = strtol(entry->d_name + prefix.size(), &end, 10);
        struct stat st;
        if ((*end == '\0' || *end == '.') && pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 &&
            errno == ESRCH && fstatat(parentFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode) && st.st_uid == geteuid())
            removeTree(parentFd, entry->d_name);
    }
    if (dir)
        closedir(dir);
}

// Whether the master has ended, without reaping it; options: 0 to wait for it.
bool masterEnded(pid_t pid, int options, siginfo_t *how)
{
    siginfo_t info{};
    int result;
    while ((result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | options)) != 0 &&
           errno == EINTR)
        ;
    if (how)
        *how = info;
    return result == 0 && info.si_pid == pid;
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

// The certificate and key are linked in, so no path of the user's is ever
// written into the configuration; so is the bodies' folder, unless it is
// mounted there.
bool makeRuntimeDir(Nginx &nginx, const NginxSetup &setup, std::string &why)
{
    const char *base = getenv("RUNTIME_DIRECTORY");
    base = base ? base : getenv("XDG_RUNTIME_DIR");
    base = base ? base : getenv("TMPDIR");
    bool root = geteuid() == 0;
    std::string parent;
    int parentFd = openTrusted(root ? "/run" : base && *base ? base : "/tmp", false, parent, why);
    if (parentFd < 0)
        return false;
    removeLeftovers(parentFd, kRuntimePrefix);
    close(parentFd);
    std::string dir = parent + "/" + kRuntimePrefix + std::to_string(getpid()) + ".XXXXXX";
    if (!mkdtemp(&dir[0])) {
        why = "cannot make a runtime directory in " + parent + ": " + strerror(errno);
        return false;
    }
    nginx.runtimeDir = dir;
    nginx.runtimeFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (nginx.runtimeFd < 0 || fstat(nginx.runtimeFd, &st) != 0 ||
        (root && (fchown(nginx.runtimeFd, 0, setup.group) != 0 || fchmod(nginx.runtimeFd, 0710) != 0))) {
        why = "cannot open runtime directory " + dir + ": " + strerror(errno);
        return false;
    }
    nginx.runtimeDev = st.st_dev;
    nginx.runtimeIno = st.st_ino;
    nginx.bindFd = root ? setup.incomingFd : -1;
    nginx.bindPath = setup.incoming;
    std::error_code error;
    for (const auto &[link, target] : {std::pair<const char *, std::string>{"cert.pem", setup.cert},
                                       {"key.pem", setup.key},
                                       {"incoming", root ? "" : setup.incoming}})
        if (target.empty() ? mkdirat(nginx.runtimeFd, link, 0700) != 0
                           : symlinkat(std::filesystem::absolute(target, error).c_str(), nginx.runtimeFd, link) != 0) {
            why = "cannot write in runtime directory " + dir + ": " + strerror(errno);
            return false;
        }

    // Two descriptors a request while nginx talks to the commit step.
    rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 20000);
    setrlimit(RLIMIT_NOFILE, &files);
    return writeFile(dir + "/nginx.conf", 0600,
                     nginxConf(setup.listen, std::max<rlim_t>(files.rlim_cur / 2, 64), setup.user), why) &&
           writeFile(dir + "/report.conf", 0600, setup.report, why);
}

bool runtimeIntact(const Nginx &nginx, std::string &why)
{
    struct stat st;
    if (lstat(nginx.runtimeDir.c_str(), &st) != 0 || st.st_dev != nginx.runtimeDev || st.st_ino != nginx.runtimeIno)
        why = "the runtime directory " + nginx.runtimeDir + " was removed or replaced";
    return why.empty();
}

bool startNginx(Nginx &nginx, std::string &why)
{
    // Made before fork: the child of a threaded process must not allocate.
    std::string prefix = nginx.runtimeDir + "/";
    std::string mountPoint = prefix + "incoming";
    const char cannotMount[] = "cannot mount the bodies' folder for nginx's workers: a private mount namespace "
                               "is needed to run as root\n";
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
        // Run as root, the workers reach the spool's bodies folder in a mount
        // of nginx's own, not by the spool's path: the folder checked and
        // held open, as the spool's path, which only root or we can change,
        // still leads to it.
        struct stat held, mounted;
        if (nginx.bindFd >= 0 &&
            (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0 ||
             mount(nginx.bindPath.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
             fstat(nginx.bindFd, &held) != 0 || stat(mountPoint.c_str(), &mounted) != 0 ||
             held.st_dev != mounted.st_dev || held.st_ino != mounted.st_ino)) {
            ssize_t told = write(STDERR_FILENO, cannotMount, sizeof cannotMount - 1);
            _exit(told < 0 ? 126 : 127);
        }
        close_range(3, ~0U, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int number : {SIGPIPE, SIGIO})
            signal(number, SIG_DFL);
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
        if (masterEnded(nginx.pid, WNOHANG, nullptr)) {
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
    siginfo_t info;
    if (nginx.pid <= 0 || !masterEnded(nginx.pid, WNOHANG, &info))
        return false;
    how = info.si_code == CLD_EXITED ? "exit status " + std::to_string(info.si_status)
                                     : "killed by signal " + std::to_string(info.si_status);
    return true;
}

void stopNginx(Nginx &nginx)
{
    if (nginx.pid > 0 && kill(nginx.pid, SIGQUIT) == 0)
        masterEnded(nginx.pid, 0, nullptr);
}

void endNginx(Nginx &nginx)
{
    // Workers that outlived their master would hold the port, answering 502,
    // and our log pipe; they are ours now, in its process group, whose id
    // the master, reaped only here, still holds.
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
    size_t slash = nginx.runtimeDir.rfind('/');
    int parent = nginx.runtimeDir.empty() ? -1 : open(nginx.runtimeDir.substr(0, slash).c_str(),
                                                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent >= 0) {
        removeTree(parent, nginx.runtimeDir.c_str() + slash + 1);
        close(parent);
    }
    nginx.runtimeDir.clear();
}
