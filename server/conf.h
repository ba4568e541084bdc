// nginx's configuration: kept as nginx reads it, compiled in and filled in at start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The location blocks for /report/, handing the bodies nginx receives into
// incoming to the commit step at the unix socket socket.
std::string reportConf(uint64_t maxBytes, const std::string &incoming, const std::string &socket);
// The whole of our own nginx's configuration, but for report.conf beside it.
std::string nginxConf(const std::vector<std::string> &listen, unsigned long connections);
// false and why if it cannot.
bool writeFile(const std::string &path, const std::string &text, std::string &why);
