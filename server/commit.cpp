#include "commit.h"

#include <httplib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

namespace {

CommitSettings settings;
std::unique_ptr<httplib::Server> server;
std::thread listener;
std::atomic<unsigned long long> reportCounter{0};

// Sortable by time of arrival and unique: the clock to the nanosecond, this
// process and a counter.
std::string timeId()
{
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now);
    long nanoseconds = static_cast<long>(std::chrono::nanoseconds(now - seconds).count());
    time_t whole = seconds.count();
    tm utc;
    gmtime_r(&whole, &utc);
    char stamp[32], id[96];
    strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
    snprintf(id, sizeof id, "%s.%09ldZ-%ld-%llu", stamp, nanoseconds, static_cast<long>(getpid()),
             ++reportCounter);
    return id;
}

std::string hex(const unsigned char *bytes, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size; i++) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

// The SHA-256 of the file's content in hex, or "" if it cannot be read.
std::string contentId(int fd)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        return "";
    std::vector<char> buffer(1 << 20);
    ssize_t got;
    off_t offset = 0;
    while ((got = pread(fd, buffer.data(), buffer.size(), offset)) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(got)) != 1)
            return "";
        offset += got;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1)
        return "";
    return hex(digest, size);
}

// nginx's body files are named by a number; anything else is not one of them.
std::string bodyFileName(const std::string &path)
{
    std::string name = path.substr(path.rfind('/') + 1);
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
        return "";
    return name;
}

void reply(httplib::Response &res, int status, const std::string &text)
{
    res.status = status;
    res.set_content(text, "text/plain");
}

// Durable before it is acknowledged: the data, then its name in the spool.
// Whatever happens, the body's temporary name is gone when this returns.
void commit(const httplib::Request &req, httplib::Response &res)
{
    const std::string &token = req.get_header_value("X-Commit-Token");
    if (token.size() != settings.token.size() ||
        CRYPTO_memcmp(token.data(), settings.token.data(), token.size()) != 0)
        return reply(res, 403, "Forbidden");
    std::string name = bodyFileName(req.get_header_value("X-Report-File"));
    if (name.empty())
        return reply(res, 500, "Cannot store the report: no body file");

    int fd = openat(settings.incomingFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st{};
    bool readable = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool tooLarge = readable && static_cast<uint64_t>(st.st_size) > settings.maxBytes;
    bool synced = readable && !tooLarge && fsync(fd) == 0;
    std::string id = !synced ? "" : settings.dedup ? contentId(fd) : timeId();
    if (fd >= 0)
        close(fd);

    bool linked = !id.empty() && linkat(settings.incomingFd, name.c_str(), settings.spoolFd,
                                        id.c_str(), 0) == 0;
    // With --dedup, a report already stored is answered as stored again.
    bool stored = linked || (settings.dedup && !id.empty() && errno == EEXIST);
    unlinkat(settings.incomingFd, name.c_str(), 0);
    if (stored && fsync(settings.spoolFd) != 0) {
        if (linked)
            unlinkat(settings.spoolFd, id.c_str(), 0);
        stored = false;
    }

    if (tooLarge)
        return reply(res, 413, "Report too large: the limit is " +
                                   std::to_string(settings.maxBytes) + " bytes");
    if (!stored)
        return reply(res, 500, "Cannot store the report");
    res.set_header("X-Report-Id", id);
    res.set_header("X-Report-Bytes", std::to_string(st.st_size));
    reply(res, 200, "OK " + id + "\n");
}

} // namespace

int startCommit(CommitSettings &given)
{
    unsigned char token[16];
    if (RAND_bytes(token, sizeof token) != 1)
        return 0;
    given.token = hex(token, sizeof token);
    settings = given;
    server = std::make_unique<httplib::Server>();
    // Its one client is nginx, which never sends a body here.
    server->new_task_queue = [] { return new httplib::ThreadPool(16); };
    server->set_payload_max_length(0);
    server->set_keep_alive_max_count(1);
    server->set_tcp_nodelay(true);
    server->Put("/commit", commit);
    int port = server->bind_to_any_port("127.0.0.1");
    if (port <= 0)
        return 0;
    listener = std::thread([] { server->listen_after_bind(); });
    // stop() only takes effect on a running server.
    for (int i = 0; i < 5000 && !server->is_running(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return port;
}

void stopCommit()
{
    if (!server)
        return;
    server->stop();
    listener.join();
    server.reset();
}
