// Our own nginx, supervised as one unit: its private runtime folder, its
// process group (the master and its workers), and its output.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Nginx {
    std::string binary;
    std::string runtimeDir; // its configuration, pid file, buffers, the commit socket
    int runtimeFd = -1;
    dev_t runtimeDev = 0;
    ino_t runtimeIno = 0;
    int bindFd = -1;        // run as root: the bodies' folder, mounted where its workers reach it
    std::string bindPath;
    pid_t pid = -1;         // the master, whose process group holds the workers
    std::thread relay;      // its output, line by line, into our log
    std::mutex mutex;
    std::string held;       // its output until it is up: a failed start is told in one line
    bool holding = true;
};

struct NginxSetup {
    std::string cert, key, incoming;
    int incomingFd;
    std::string user;                // its workers' user, if run as root
    gid_t group;                     // and their group
    std::vector<std::string> listen; // address:port
    std::string report;              // report.conf
};

bool findNginx(Nginx &nginx, std::string &why);
// Run as root, it is made in /run, where the workers can reach it, and only
// their group may enter it.
bool makeRuntimeDir(Nginx &nginx, const NginxSetup &setup, std::string &why);
// false and why if the runtime folder was removed or replaced.
bool runtimeIntact(const Nginx &nginx, std::string &why);
bool startNginx(Nginx &nginx, std::string &why);
bool waitUntilListening(Nginx &nginx, const std::vector<std::string> &addresses, int port,
                        std::string &why);
// Whether the master has ended by itself; how, in words. It is reaped only by
// endNginx, after its process group is ended: until then no other process
// can have that group's id.
bool nginxEnded(Nginx &nginx, std::string &how);
// Lets uploads in flight finish, then ends.
void stopNginx(Nginx &nginx);
// Whatever state it is in: no process of it left, its output all told, its folder gone.
void endNginx(Nginx &nginx);
