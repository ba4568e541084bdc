// What our own nginx is given to serve: every address of the host to listen
// on, and a certificate and key that go together.
#pragma once

#include <string>
#include <vector>

// host's addresses in numeric form, each one checked to be free now: false
// and why if one cannot be listened on, or none can.
bool listenAddresses(const std::string &host, int port, std::vector<std::string> &addresses,
                     std::string &why);
// address:port, an IPv6 address in brackets.
std::string hostPort(const std::string &address, int port);
// Whether something accepts connections at address:port.
bool accepts(const std::string &address, int port);
bool checkTls(const std::string &cert, const std::string &key, std::string &why);
