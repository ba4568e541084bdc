#include "conf.h"
#include "nginx_conf.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

std::string nginxConf(const std::vector<std::string> &listen, unsigned long connections)
{
    std::string directives;
    for (const std::string &address : listen)
        directives += "listen " + address + " ssl;\n        ";
    passwd *user = getpwuid(geteuid());
    return fillIn(kNginxConf, {
        // As root nginx would hand its workers to nobody, who cannot enter
        // our folders; a service runs it as its own user instead.
        {"user", geteuid() == 0 && user ? std::string("user ") + user->pw_name + ";" : ""},
        {"connections", std::to_string(connections)},
        {"listen", directives},
    });
}

bool writeFile(const std::string &path, const std::string &text, std::string &why)
{
    FILE *file = fopen(path.c_str(), "we");
    bool written = file && fputs(text.c_str(), file) >= 0;
    if (file && fclose(file) != 0)
        written = false;
    if (!written)
        why = "cannot write " + path + ": " + strerror(errno);
    return written;
}
