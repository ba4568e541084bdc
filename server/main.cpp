// tovrin-report-server: a stand-in reporting server for trying and testing
// tovrin-report on one machine. It stores each report it receives by
// PUT /report/ as one file in a spool directory. An nginx of its own, run as a
// child, takes the clients; the commit step stores what nginx has received.
// Here: the command line, and the order of start and stop.
#include "commit.h"
#include "conf.h"
#include "listen.h"
#include "log.h"
#include "nginx.h"
#include "spool.h"
#include "trust.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

const char kSocket[] = "commit.sock";      // in our nginx's runtime folder
const char kSiteSocket[] = ".commit.sock"; // in the spool, for a site's nginx
// Run as root, our nginx's workers run as Debian's web server user, as a
// site's nginx's do: no more privileged than the web server of the machine.
const char kWorkerUser[] = "www-data";
const char *const kUsage =
    "Usage: tovrin-report-server --cert FILE --key FILE [--listen HOST:PORT] [--spool DIR] "
    "[--max-bytes N] [--dedup]\n"
    "       tovrin-report-server --snippet FILE [--spool DIR] [--max-bytes N] [--dedup]\n";

struct Options {
    std::string cert, key, host, spool, snippet;
    int port = 8443;
    uint64_t maxBytes = 268435456;
    bool dedup = false;
};

// Who nginx's workers run as: this user, or kWorkerUser when run as root.
struct Worker {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    std::string name; // only when run as root
};

// What has been started, for a stop at any point.
struct Running {
    Nginx nginx;
    Spool spool;
    Commit *commit = nullptr;
};

void say(const std::string &message)
{
    logLines("tovrin-report-server: " + message + "\n");
}

void stopAll(Running &running)
{
    // nginx first: its uploads in flight may still need the commit step.
    endNginx(running.nginx);
    stopCommit(running.commit);
    running.commit = nullptr;
    closeSpool(running.spool);
}

[[noreturn]] void fail(const std::string &message, Running *running = nullptr)
{
    if (running)
        stopAll(*running);
    say(message);
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

void parseListen(const std::string &text, Options &options)
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

Options parseArguments(int argc, char *argv[])
{
    Options options;
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
            parseListen(value, options);
        else if (flag == "--spool")
            options.spool = value;
        else if (flag == "--snippet")
            options.snippet = value;
        else if (!parseNumber(value.c_str(), INT64_MAX, options.maxBytes))
            fail("--max-bytes needs a number of bytes, got '" + value + "'");
    }
    if (options.snippet.empty() && (options.cert.empty() || options.key.empty()))
        fail("--cert FILE and --key FILE are required (see --help)");
    return options;
}


// Descriptors 0 to 2 that were closed are opened on /dev/null, so that no
// file, folder or socket of ours becomes standard error.
bool openStandardDescriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            return false;
    }
    return true;
}

Worker workerFor(const Options &options)
{
    Worker worker;
    if (geteuid() != 0)
        return worker;
    if (!options.snippet.empty())
        fail("--snippet: run it as the user the site's nginx workers run as, not as root");
    passwd *user = getpwnam(kWorkerUser);
    if (!user)
        fail(std::string("run as root, nginx's workers run as ") + kWorkerUser + ", and there is no such user");
    return Worker{user->pw_uid, user->pw_gid, kWorkerUser};
}

// A site's nginx reads the snippet from anywhere: the paths go in as they are.
std::string snippetFor(const Options &options, Running &running)
{
    const Spool &spool = running.spool;
    std::string socket = spool.path + "/" + kSiteSocket;
    if (spool.path.find_first_of(" \t\"'\\;{}$#:") != std::string::npos)
        fail("--snippet: the spool's path " + spool.path + " has characters nginx cannot take", &running);
    if (socket.size() >= sizeof(sockaddr_un::sun_path))
        fail("--snippet: the spool's path " + spool.path + " is too long for a socket in it", &running);
    // Whoever could replace the snippet would write the site's configuration.
    std::string folder = options.snippet.substr(0, options.snippet.rfind('/') + 1), why, canonical;
    int fd = openTrusted(folder.empty() ? "." : folder, false, canonical, why);
    if (fd < 0)
        fail("--snippet: " + why, &running);
    close(fd);
    return reportConf(options.maxBytes, spool.incoming, socket);
}

} // namespace

int main(int argc, char *argv[])
{
    if (!openStandardDescriptors())
        return 2;
    // Before any thread: nginx's times in UTC, as ours.
    setenv("TZ", "UTC", 1);
    openLog();
    Options options = parseArguments(argc, argv);
    bool ownNginx = options.snippet.empty();
    Worker worker = workerFor(options);
    Running running;
    std::string why;
    std::vector<std::string> addresses;
    if (ownNginx && (!checkTls(options.cert, options.key, why) || !findNginx(running.nginx, why) ||
                     !listenAddresses(options.host, options.port, addresses, why)))
        fail(why);

    // Signals are taken by sigtimedwait below, not by whichever thread is
    // running; SIGCHLD tells of an nginx that stopped by itself.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP); // a closed terminal: stop as cleanly
    sigaddset(&signals, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGIO, SIG_IGN); // a lease of removeOrphans broken: it is let go at once anyway

    if (!openSpool(options.spool, worker.uid, worker.gid, running.spool, why))
        fail(why, &running);
    CommitSettings commit{running.spool.fd, running.spool.incomingFd, worker.uid, worker.gid, options.maxBytes,
                          options.dedup};
    if (ownNginx) {
        NginxSetup setup{options.cert, options.key, running.spool.incoming, running.spool.incomingFd,
                         worker.name, worker.gid, {}, ""};
        for (const std::string &address : addresses)
            setup.listen.push_back(hostPort(address, options.port));
        setup.report = reportConf(options.maxBytes, "incoming", kSocket);
        if (!makeRuntimeDir(running.nginx, setup, why))
            fail(why, &running);
        running.commit = startCommit(commit, running.nginx.runtimeFd, running.nginx.runtimeDir,
                                     kSocket, why);
        if (!running.commit || !startNginx(running.nginx, why) ||
            !waitUntilListening(running.nginx, addresses, options.port, why))
            fail(why, &running);
        std::string where;
        for (const std::string &address : setup.listen)
            where += (where.empty() ? "https://" : " and https://") + address + "/report/";
        say("listening on " + where + ", storing reports in " + running.spool.path);
        sd_notify(0, "READY=1");
    } else {
        std::string snippet = snippetFor(options, running);
        running.commit = startCommit(commit, running.spool.fd, running.spool.path, kSiteSocket, why);
        if (!running.commit || !writeFile(options.snippet, 0644, snippet, why))
            fail(why, &running);
        say("commit step ready; include " + options.snippet +
            " in an nginx server block (it stays the same from one start to the next); "
            "storing reports in " + running.spool.path);
        sd_notify(0, "READY=1");
    }

    // Every half second, the bodies of workers that died go, and a spool or
    // runtime folder that is gone ends the server, for its service to start
    // it again: nothing could be stored any more.
    timespec half{0, 500000000};
    int signalNumber;
    std::string how;
    do {
        signalNumber = sigtimedwait(&signals, nullptr, &half);
        if (signalNumber < 0)
            removeOrphans(running.spool);
        if (!spoolIntact(running.spool, why) || !commitIntact(running.commit, why) ||
            (ownNginx && !runtimeIntact(running.nginx, why))) {
            stopAll(running);
            say(why + ": stopping");
            return 1;
        }
    } while (signalNumber < 0 || (signalNumber == SIGCHLD && !nginxEnded(running.nginx, how)));
    bool unexpected = signalNumber == SIGCHLD;
    sd_notify(0, "STOPPING=1");
    // nginx lets uploads in flight finish, and the commit step serves them.
    if (!unexpected)
        stopNginx(running.nginx);
    stopAll(running);
    say(unexpected ? "nginx stopped unexpectedly (" + how + "): stopping" : "stopped");
    return unexpected ? 1 : 0;
}
