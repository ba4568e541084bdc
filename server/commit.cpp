#include "commit.h"

#include <microhttpd.h>

#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace {

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
std::string bodyFileName(const char *path)
{
    std::string name = path ? path : "";
    name = name.substr(name.rfind('/') + 1);
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
        return "";
    return name;
}

bool isIdentity(std::string coding)
{
    coding.erase(0, coding.find_first_not_of(" \t"));
    coding.erase(coding.find_last_not_of(" \t") + 1);
    return coding.empty() || strcasecmp(coding.c_str(), "identity") == 0;
}

// Every Content-Encoding header the client sent, each a list: nginx itself
// checks only the first.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): libmicrohttpd's signature
MHD_Result checkEncoding(void *encoded, MHD_ValueKind, const char *key, const char *value)
{
    if (strcasecmp(key, "Content-Encoding") != 0)
        return MHD_YES;
    std::string list = value ? value : "";
    for (size_t start = 0, end; start <= list.size(); start = end + 1) {
        end = std::min(list.find(',', start), list.size());
        if (!isIdentity(list.substr(start, end - start)))
            *static_cast<bool *>(encoded) = true;
    }
    return MHD_YES;
}

struct Reply {
    unsigned status;
    std::string text, id = {}, bytes = {};
};

// Durable before it is acknowledged: the data, then its name in the spool.
// Whatever happens, the body's temporary name is gone when this returns.
Reply commit(const CommitSettings &settings, MHD_Connection *connection)
{
    std::string name = bodyFileName(
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "X-Report-File"));
    if (name.empty())
        return {500, "Cannot store the report: no body file"};
    bool encoded = false;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, checkEncoding, &encoded);
    if (encoded) {
        unlinkat(settings.incomingFd, name.c_str(), 0);
        return {415, "Content-Encoding not supported: reports are stored as sent"};
    }

    // Only a file the workers made, and nobody linked elsewhere, is taken; as
    // it stays open here, what is linked below is exactly what was checked.
    int fd = openat(settings.incomingFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st{};
    bool readable = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                    st.st_uid == settings.worker;
    bool tooLarge = readable && static_cast<uint64_t>(st.st_size) > settings.maxBytes;
    // A report is the server's user's, not the workers'.
    bool owned = readable && !tooLarge &&
                 (st.st_uid == geteuid() || fchown(fd, geteuid(), getegid()) == 0);
    bool synced = owned && fsync(fd) == 0;
    std::string id = !synced ? "" : settings.dedup ? contentId(fd) : timeId();
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    bool linked = !id.empty() &&
                  linkat(AT_FDCWD, self.c_str(), settings.spoolFd, id.c_str(), AT_SYMLINK_FOLLOW) == 0;
    // With --dedup, a report already stored is answered as stored again.
    bool stored = linked || (settings.dedup && !id.empty() && errno == EEXIST);
    if (fd >= 0)
        close(fd);
    unlinkat(settings.incomingFd, name.c_str(), 0);
    // A name made by content is also the answer of every other commit of the
    // same report, so it is never taken back: its data is whole and flushed,
    // only the name may not have reached the disk, and a retry flushes it
    // again. A name of our own is taken back, so that a 500 stores nothing.
    if (stored && fsync(settings.spoolFd) != 0) {
        if (linked && !settings.dedup)
            unlinkat(settings.spoolFd, id.c_str(), 0);
        stored = false;
    }

    if (tooLarge)
        return {413, "Report too large: the limit is " + std::to_string(settings.maxBytes) + " bytes"};
    if (!stored)
        return {500, "Cannot store the report"};
    return {200, "OK " + id + "\n", id, std::to_string(st.st_size)};
}

MHD_Result answer(void *cls, MHD_Connection *connection, const char *url, const char *method,
                  const char *, const char *, size_t *uploadSize, void **request)
{
    // Called first with the head alone; nginx sends no body here.
    static int headSeen;
    if (!*request) {
        *request = &headSeen;
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        *uploadSize = 0;
        return MHD_YES;
    }
    Reply reply = strcmp(url, "/commit") != 0 || strcmp(method, "PUT") != 0
                      ? Reply{404, "Not found"}
                      : commit(*static_cast<const CommitSettings *>(cls), connection);
    MHD_Response *response = MHD_create_response_from_buffer(
        reply.text.size(), reply.text.data(), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, "Content-Type", "text/plain");
    if (!reply.id.empty()) {
        MHD_add_response_header(response, "X-Report-Id", reply.id.c_str());
        MHD_add_response_header(response, "X-Report-Bytes", reply.bytes.c_str());
    }
    MHD_Result queued = MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    return queued;
}

sockaddr_un socketAddress(int dirFd, const std::string &dir, const char *name)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = dir + "/" + name;
    // A path too long for a socket's is reached through our descriptor of the folder.
    if (path.size() >= sizeof address.sun_path)
        path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    return address;
}

} // namespace

struct Commit {
    CommitSettings settings;
    MHD_Daemon *daemon = nullptr;
    int dirFd = -1;
    std::string name;
    ino_t ino = 0;
};

Commit *startCommit(const CommitSettings &settings, int dirFd, const std::string &dir, const char *name,
                    std::string &why)
{
    sockaddr_un address = socketAddress(dirFd, dir, name);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlinkat(dirFd, name, 0); // one left by a crash: the spool's lock is ours
    // Only the workers' user may connect; root's socket is given to it.
    struct stat st;
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        fchmodat(dirFd, name, 0600, 0) != 0 ||
        (geteuid() == 0 && fchownat(dirFd, name, settings.worker, settings.workerGroup, AT_SYMLINK_NOFOLLOW) != 0) ||
        fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || listen(fd, SOMAXCONN) != 0) {
        why = std::string("cannot make the commit step's socket: ") + strerror(errno);
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    auto *commit = new Commit{settings, nullptr, dirFd, name, st.st_ino};
    // A thread for each connection, so that no commit waits on another's
    // fsync; nginx bounds how many there are.
    commit->daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL, 0, nullptr,
        nullptr, answer, &commit->settings, MHD_OPTION_LISTEN_SOCKET, fd,
        MHD_OPTION_CONNECTION_LIMIT, 20000U, MHD_OPTION_CONNECTION_TIMEOUT, 60U,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(128 * 1024), MHD_OPTION_END);
    if (!commit->daemon) {
        close(fd);
        delete commit;
        why = "cannot start the commit step";
        return nullptr;
    }
    return commit;
}

bool commitIntact(const Commit *commit, std::string &why)
{
    struct stat st;
    if (fstatat(commit->dirFd, commit->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_ino != commit->ino)
        why = "the commit step's socket " + commit->name + " was removed or replaced";
    return why.empty();
}

void stopCommit(Commit *commit)
{
    if (!commit)
        return;
    MHD_stop_daemon(commit->daemon);
    delete commit;
}
