// tovrin-report-server: a stand-in reporting server for trying and testing
// tovrin-report on one machine. It stores each report it receives by
// PUT /report/ as one file in a spool directory. An nginx of its own, run as a
// child, takes the clients; the commit step (commit.cpp) stores what nginx has
// received.
#include "commit.h"
#include "nginx_conf.h"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char *const kUsage =
    "Usage: tovrin-report-server --cert FILE --key FILE [--listen HOST:PORT] [--spool DIR] "
    "[--max-bytes N] [--dedup]\n"
    "       tovrin-report-server --snippet FILE [--spool DIR] [--max-bytes N] [--dedup]\n";
const char kIncomingPrefix[] = ".incoming-";
const char kRuntimePrefix[] = "tovrin-report-server-";

struct Options {
    std::string cert, key, host, spool, snippet;
    int port = 8443;
    uint64_t maxBytes = 268435456;
    bool dedup = false;
};

Options options;
std::string runtimeDir, incomingDir;
pid_t nginxPid = -1;

// nginx's output goes through us, so its lines and ours never overwrite each
// other. Until it is up, it is held back: a failed start is told in one line.
std::mutex outputMutex;
std::string heldOutput;
bool holdOutput = true;

void cleanUp()
{
    std::error_code ignored;
    if (!runtimeDir.empty())
        std::filesystem::remove_all(runtimeDir, ignored);
    if (!incomingDir.empty())
        std::filesystem::remove_all(incomingDir, ignored);
    runtimeDir.clear();
    incomingDir.clear();
}

[[noreturn]] void fail(const std::string &message)
{
    // A running thread would abort exit().
    stopCommit();
    if (nginxPid > 0) {
        kill(nginxPid, SIGKILL);
        waitpid(nginxPid, nullptr, 0);
    }
    cleanUp();
    fprintf(stderr, "tovrin-report-server: %s\n", message.c_str());
    exit(2);
}

bool parseNumber(const char *text, uint64_t max, uint64_t &value)
{
    if (*text < '0' || *text > '9')
        return false;
    value = 0;
    for (; *text; text++) {
        if (*text < '0' || *text > '9' || value > (max - (*text - '0')) / 10)
            return false;
        value = value * 10 + (*text - '0');
    }
    return true;
}

void parseListen(const std::string &text)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        fail("--listen needs HOST:PORT, got '" + text + "'");
    std::string host = text.substr(0, colon);
    if (host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        fail("--listen: write an IPv6 address in brackets, as [::1]:8443");
    uint64_t port;
    if (host.empty() || !parseNumber(text.c_str() + colon + 1, 65535, port) || port == 0)
        fail("--listen needs HOST:PORT with a port from 1 to 65535, got '" + text + "'");
    options.host = host;
    options.port = static_cast<int>(port);
}

void parseArguments(int argc, char *argv[])
{
    options.host = "localhost";
    options.spool = "reports";
    for (int i = 1; i < argc; i++) {
        std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            fputs(kUsage, stdout);
            fputs("Stores each report sent by HTTPS PUT to /report/ as one file in the spool\n"
                  "directory (default ./reports). Listens on localhost:8443 by default.\n"
                  "--max-bytes limits the size of a report (default 268435456).\n"
                  "--dedup names each report by its SHA-256 and stores it only once.\n"
                  "--snippet runs no nginx of its own: it writes FILE for an nginx server\n"
                  "block to include, and stores what that nginx receives.\n",
                  stdout);
            exit(0);
        }
        if (flag == "--dedup") {
            options.dedup = true;
            continue;
        }
        if (flag != "--cert" && flag != "--key" && flag != "--listen" && flag != "--spool" &&
            flag != "--max-bytes" && flag != "--snippet")
            fail("unknown option '" + flag + "' (see --help)");
        if (i + 1 == argc)
            fail(flag + " needs a value (see --help)");
        std::string value = argv[++i];
        if (flag == "--cert")
            options.cert = value;
        else if (flag == "--key")
            options.key = value;
        else if (flag == "--listen")
            parseListen(value);
        else if (flag == "--spool")
            options.spool = value;
        else if (flag == "--snippet")
            options.snippet = value;
        else if (!parseNumber(value.c_str(), INT64_MAX, options.maxBytes))
            fail("--max-bytes needs a number of bytes, got '" + value + "'");
    }
    if (options.snippet.empty() && (options.cert.empty() || options.key.empty()))
        fail("--cert FILE and --key FILE are required (see --help)");
}

std::string sslError()
{
    char text[256] = "unknown error";
    if (unsigned long code = ERR_peek_last_error())
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

// nginx would say the same, but only in a line of its own format.
void checkTls()
{
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()),
                                                          SSL_CTX_free);
    const char *cert = options.cert.c_str(), *key = options.key.c_str();
    if (!ctx)
        fail("cannot set up TLS: " + sslError());
    if (access(cert, R_OK) != 0)
        fail("cannot read certificate " + options.cert + ": " + strerror(errno));
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert) != 1)
        fail("bad certificate " + options.cert + ": " + sslError());
    if (access(key, R_OK) != 0)
        fail("cannot read key " + options.key + ": " + strerror(errno));
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), key, SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx.get()) != 1)
        fail("bad key " + options.key + ": " + sslError());
}

std::string findNginx()
{
    const char *env = getenv("PATH");
    std::string path = env ? env : "";
    // Unprivileged users often lack the sbin directories on their PATH.
    path += ":/usr/sbin:/usr/local/sbin";
    for (size_t start = 0, end; start <= path.size(); start = end + 1) {
        end = std::min(path.find(':', start), path.size());
        std::string candidate = path.substr(start, end - start) + "/nginx";
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    fail("nginx not found: install nginx-light (or nginx)");
}

// A folder named prefix, a process id, then nothing or a dot, whose process
// is gone, was left by a crash; nothing else is touched: not a link, not a
// folder of another user's, wherever the parent is.
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

void openSpool(CommitSettings &commit)
{
    std::error_code error;
    std::filesystem::create_directories(options.spool, error);
    if (error)
        fail("cannot create spool " + options.spool + ": " + error.message());
    auto spool = std::filesystem::absolute(options.spool, error);
    removeLeftovers(spool, kIncomingPrefix);
    std::string incoming = spool.string() + "/" + kIncomingPrefix + std::to_string(getpid());
    if (mkdir(incoming.c_str(), 0700) != 0 && errno != EEXIST)
        fail("cannot write in spool " + options.spool + ": " + strerror(errno));
    incomingDir = incoming;
    commit.spoolFd = open(spool.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    commit.incomingFd = open(incoming.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (commit.spoolFd < 0 || commit.incomingFd < 0)
        fail("cannot open spool " + options.spool + ": " + strerror(errno));
}

std::string hostPort(const std::string &address)
{
    std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
    return host + ":" + std::to_string(options.port);
}

// Bound here first, nginx would retry a busy port for seconds before it gives up.
bool canListen(const addrinfo &ai)
{
    int fd = socket(ai.ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    bool bound = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
                 bind(fd, ai.ai_addr, ai.ai_addrlen) == 0;
    int saved = errno;
    if (fd >= 0)
        close(fd);
    errno = saved;
    return bound;
}

// Every address of the host, as nginx listen directives: localhost is
// usually both 127.0.0.1 and ::1.
std::vector<std::string> listenAddresses()
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found;
    std::string port = std::to_string(options.port);
    if (int error = getaddrinfo(options.host.c_str(), port.c_str(), &hints, &found))
        fail("cannot resolve " + options.host + ": " + gai_strerror(error));
    std::vector<std::string> addresses;
    for (addrinfo *ai = found; ai; ai = ai->ai_next) {
        char text[NI_MAXHOST];
        if (getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0,
                        NI_NUMERICHOST) != 0 ||
            std::find(addresses.begin(), addresses.end(), text) != addresses.end())
            continue;
        if (canListen(*ai))
            addresses.push_back(text);
        else if (!found->ai_next || (errno != EADDRNOTAVAIL && errno != EAFNOSUPPORT))
            fail("cannot listen on " + hostPort(text) + ": " + strerror(errno));
    }
    freeaddrinfo(found);
    if (addresses.empty())
        fail("cannot listen on any address of " + options.host);
    return addresses;
}

// Each {{name}} in text becomes its value.
void fillIn(std::string &text, const std::map<std::string, std::string> &values)
{
    for (const auto &[name, value] : values) {
        std::string mark = "{{" + name + "}}";
        for (size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, mark.size(), value);
    }
}

void writeFile(const std::string &path, const std::string &text, const char *what)
{
    FILE *file = fopen(path.c_str(), "we");
    if (!file || fputs(text.c_str(), file) < 0 || fclose(file) != 0)
        fail(std::string("cannot write ") + what + " " + path + ": " + strerror(errno));
}

// The location blocks for /report/, handing bodies received into incoming to
// the commit step.
std::string reportConf(const std::string &incoming, int commitPort, const std::string &token)
{
    std::string conf = kReportConf;
    fillIn(conf, {
        // nginx reads 0 as no limit; the commit step refuses a non-empty body then.
        {"max_body", std::to_string(std::max<uint64_t>(options.maxBytes, 1))},
        {"max_bytes", std::to_string(options.maxBytes)},
        {"incoming", incoming},
        {"token", token},
        {"commit_port", std::to_string(commitPort)},
    });
    return conf;
}

// A private folder for nginx's configuration, pid file and buffers; the
// certificate, key and body folder are linked in, so no path of the user's
// is ever written into the configuration.
void makeRuntimeDir(const std::vector<std::string> &addresses, const std::string &report)
{
    const char *base = getenv("RUNTIME_DIRECTORY");
    base = base ? base : getenv("XDG_RUNTIME_DIR");
    base = base ? base : getenv("TMPDIR");
    std::string parent = base && *base ? base : "/tmp";
    removeLeftovers(parent, kRuntimePrefix);
    std::string dir = parent + "/" + kRuntimePrefix + std::to_string(getpid()) + ".XXXXXX";
    if (!mkdtemp(&dir[0]))
        fail("cannot make a runtime directory in " + parent + ": " + strerror(errno));
    runtimeDir = dir;
    std::error_code error;
    for (const auto &[link, target] : {std::pair<const char *, std::string>{"cert.pem", options.cert},
                                {"key.pem", options.key},
                                {"incoming", incomingDir}})
        if (symlink(std::filesystem::absolute(target, error).c_str(), (dir + "/" + link).c_str()))
            fail("cannot write in runtime directory " + dir + ": " + strerror(errno));

    // Two descriptors a request while nginx talks to the commit step.
    rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 20000);
    setrlimit(RLIMIT_NOFILE, &files);

    std::string listen, config = kNginxConf;
    for (const std::string &address : addresses)
        listen += "listen " + hostPort(address) + " ssl;\n        ";
    passwd *user = getpwuid(geteuid());
    fillIn(config, {
        // As root nginx would hand its workers to nobody, who cannot enter
        // our folders; a service runs it as its own user instead.
        {"user", geteuid() == 0 && user ? std::string("user ") + user->pw_name + ";" : ""},
        {"connections", std::to_string(std::max<rlim_t>(files.rlim_cur / 2, 64))},
        {"listen", listen},
    });
    writeFile(dir + "/nginx.conf", config, "nginx configuration");
    writeFile(dir + "/report.conf", report, "nginx configuration");
}

void relayOutput(int fd)
{
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        std::lock_guard<std::mutex> lock(outputMutex);
        if (holdOutput)
            heldOutput.append(buffer, static_cast<size_t>(got));
        // Drained even when standard error is gone, or nginx would block on a full pipe.
        else if (write(STDERR_FILENO, buffer, static_cast<size_t>(got)) < 0)
            continue;
    }
    close(fd);
}

std::thread startNginx(const std::string &nginx)
{
    // Made before fork: the child of a threaded process must not allocate.
    std::string prefix = runtimeDir + "/";
    setenv("TZ", "UTC", 1);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        fail(std::string("cannot start nginx: ") + strerror(errno));
    nginxPid = fork();
    if (nginxPid < 0)
        fail(std::string("cannot start nginx: ") + strerror(errno));
    if (nginxPid == 0) {
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
        execl(nginx.c_str(), "nginx", "-p", prefix.c_str(), "-c", "nginx.conf", "-e",
              "stderr", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    return std::thread(relayOutput, out[0]);
}

bool accepts(const std::string &address)
{
    addrinfo hints{}, *found;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    if (getaddrinfo(address.c_str(), std::to_string(options.port).c_str(), &hints, &found) != 0)
        return false;
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool connected = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    if (fd >= 0)
        close(fd);
    freeaddrinfo(found);
    return connected;
}

std::string lastLine(const std::string &text)
{
    size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos)
        return "no message";
    size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start + 1));
}

void waitUntilListening(const std::vector<std::string> &addresses, std::thread &relay)
{
    for (int i = 0; i < 1000; i++) {
        if (waitpid(nginxPid, nullptr, WNOHANG) == nginxPid) {
            nginxPid = -1;
            relay.join(); // its output is whole at the end of the pipe
            fail("nginx did not start: " + lastLine(heldOutput));
        }
        if (std::all_of(addresses.begin(), addresses.end(), accepts)) {
            std::lock_guard<std::mutex> lock(outputMutex);
            holdOutput = false;
            fputs(heldOutput.c_str(), stderr);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fail("nginx did not start listening in 10 s");
}

} // namespace

int main(int argc, char *argv[])
{
    parseArguments(argc, argv);
    bool ownNginx = options.snippet.empty();
    std::string nginx;
    if (ownNginx) {
        checkTls();
        nginx = findNginx();
    }
    CommitSettings commit;
    commit.maxBytes = options.maxBytes;
    commit.dedup = options.dedup;
    openSpool(commit);
    std::string spool = std::filesystem::path(incomingDir).parent_path();
    // A site's nginx reads the snippet from anywhere: the path must go in as it is.
    if (!ownNginx && incomingDir.find_first_of(" \t\"'\\;{}$#") != std::string::npos)
        fail("--snippet: the spool's path " + incomingDir + " has characters nginx cannot take");
    std::vector<std::string> addresses;
    if (ownNginx)
        addresses = listenAddresses();

    // Signals are taken by sigwait below, not by whichever thread is running;
    // SIGCHLD tells of an nginx that stopped by itself.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP); // a closed terminal: stop as cleanly
    sigaddset(&signals, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int commitPort = startCommit(commit);
    if (commitPort == 0)
        fail("cannot start the commit step on 127.0.0.1");
    std::thread relay;
    if (ownNginx) {
        makeRuntimeDir(addresses, reportConf("incoming", commitPort, commit.token));
        relay = startNginx(nginx);
        waitUntilListening(addresses, relay);
        std::string where;
        for (const std::string &address : addresses)
            where += (where.empty() ? "https://" : " and https://") + hostPort(address) + "/report/";
        fprintf(stderr, "tovrin-report-server: listening on %s, storing reports in %s\n",
                where.c_str(), spool.c_str());
    } else {
        writeFile(options.snippet, reportConf(incomingDir, commitPort, commit.token), "snippet");
        fprintf(stderr,
                "tovrin-report-server: commit step ready; include %s in an nginx server block and "
                "reload nginx; storing reports in %s\n",
                options.snippet.c_str(), spool.c_str());
    }

    int signalNumber, status = 0;
    do
        sigwait(&signals, &signalNumber);
    while (signalNumber == SIGCHLD && (!ownNginx || waitpid(nginxPid, &status, WNOHANG) != nginxPid));
    bool unexpected = signalNumber == SIGCHLD;
    if (ownNginx && !unexpected) {
        // nginx lets uploads in flight finish, and the commit step serves them.
        kill(nginxPid, SIGQUIT);
        waitpid(nginxPid, &status, 0);
    }
    nginxPid = -1;
    stopCommit();
    if (relay.joinable())
        relay.join();
    cleanUp();
    fprintf(stderr, "tovrin-report-server: %s\n", unexpected ? "nginx stopped unexpectedly" : "stopped");
    return unexpected ? 1 : 0;
}
