// nginx's configuration: kept as nginx reads it, compiled in and filled in at start.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// The location blocks for /report/, handing the bodies nginx receives into
// incoming to the commit step at the unix socket socket.
std::string reportConf(uint64_t maxBytes, const std::string &incoming, const std::string &socket);
// The whole of our own nginx's configuration, but for report.conf beside it;
// user: its workers' user, if it is started as root.
std::string nginxConf(const std::vector<std::string> &listen, unsigned long connections, const std::string &user);
// Whole or not at all: written beside path, flushed, then renamed over it.
// false and why if it cannot.
bool writeFile(const std::string &path, mode_t mode, const std::string &text, std::string &why);
