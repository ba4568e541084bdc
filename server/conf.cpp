#include "conf.h"
#include "nginx_conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

namespace {

// Each {{name}} in text becomes its value.
std::string fillIn(std::string text, const std::map<std::string, std::string> &values)
{
    for (const auto &[name, value] : values) {
        std::string mark = "{{" + name + "}}";
        for (size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, mark.size(), value);
    }
    return text;
}

} // namespace

std::string reportConf(uint64_t maxBytes, const std::string &incoming, const std::string &socket)
{
    return fillIn(kReportConf, {
        // nginx reads 0 as no limit; the commit step refuses a non-empty body then.
        {"max_body", std::to_string(std::max<uint64_t>(maxBytes, 1))},
        {"max_bytes", std::to_string(maxBytes)},
        {"incoming", incoming},
        {"socket", socket},
    });
}

std::string nginxConf(const std::vector<std::string> &listen, unsigned long connections, const std::string &user)
{
    std::string directives;
    for (const std::string &address : listen)
        directives += "listen " + address + " ssl;\n        ";
    return fillIn(kNginxConf, {
        {"user", user.empty() ? "" : "user " + user + ";"},
        {"connections", std::to_string(connections)},
        {"listen", directives},
    });
}

bool writeFile(const std::string &path, mode_t mode, const std::string &text, std::string &why)
{
    std::string temporary = path + ".tmp-" + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    bool written = fd >= 0 && fchmod(fd, mode) == 0;
    for (size_t at = 0; written && at < text.size();) {
        ssize_t put = write(fd, text.data() + at, text.size() - at);
        if (put < 0 && errno == EINTR)
            continue;
        written = put > 0;
        at += written ? static_cast<size_t>(put) : 0;
    }
    written = written && fsync(fd) == 0;
    if (fd >= 0 && close(fd) != 0)
        written = false;
    written = written && rename(temporary.c_str(), path.c_str()) == 0;
    if (!written) {
        why = "cannot write " + path + ": " + strerror(errno);
        if (fd >= 0)
            unlink(temporary.c_str());
    }
    return written;
}
