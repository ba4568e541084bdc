#include "listen.h"

#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

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

std::string sslError()
{
    char text[256] = "unknown error";
    if (unsigned long code = ERR_peek_last_error())
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

} // namespace

std::string hostPort(const std::string &address, int port)
{
    std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
    return host + ":" + std::to_string(port);
}

bool listenAddresses(const std::string &host, int port, std::vector<std::string> &addresses,
                     std::string &why)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    // localhost is loopback whatever the resolver says (RFC 6761), also where
    // there is no /etc/hosts: asked for no host, getaddrinfo gives 127.0.0.1
    // and ::1 from no file.
    const char *node = strcasecmp(host.c_str(), "localhost") == 0 ? nullptr : host.c_str();
    addrinfo *found;
    if (int error = getaddrinfo(node, std::to_string(port).c_str(), &hints, &found)) {
        why = "cannot resolve " + host + ": " + gai_strerror(error);
        return false;
    }
    for (addrinfo *ai = found; ai && why.empty(); ai = ai->ai_next) {
        char text[NI_MAXHOST];
        if (getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0,
                        NI_NUMERICHOST) != 0 ||
            std::find(addresses.begin(), addresses.end(), text) != addresses.end())
            continue;
        if (canListen(*ai))
            addresses.push_back(text);
        else if (!found->ai_next || (errno != EADDRNOTAVAIL && errno != EAFNOSUPPORT))
            why = "cannot listen on " + hostPort(text, port) + ": " + strerror(errno);
    }
    freeaddrinfo(found);
    if (why.empty() && addresses.empty())
        why = "cannot listen on any address of " + host;
    return why.empty();
}

bool accepts(const std::string &address, int port)
{
    addrinfo hints{}, *found;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return false;
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool connected = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    if (fd >= 0)
        close(fd);
    freeaddrinfo(found);
    return connected;
}

// nginx would say the same, but only in a line of its own format.
bool checkTls(const std::string &cert, const std::string &key, std::string &why)
{
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()),
                                                          SSL_CTX_free);
    if (!ctx)
        why = "cannot set up TLS: " + sslError();
    else if (access(cert.c_str(), R_OK) != 0)
        why = "cannot read certificate " + cert + ": " + strerror(errno);
    else if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert.c_str()) != 1)
        why = "bad certificate " + cert + ": " + sslError();
    else if (access(key.c_str(), R_OK) != 0)
        why = "cannot read key " + key + ": " + strerror(errno);
    else if (SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 ||
             SSL_CTX_check_private_key(ctx.get()) != 1)
        why = "bad key " + key + ": " + sslError();
    return why.empty();
}
