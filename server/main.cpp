// tovrin-report-server: a stand-in reporting server for trying and testing
// tovrin-report on one machine. It stores each report it receives by
// PUT /report/ as one file in a spool directory.
#include <httplib.h>

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char *const kUsage =
    "Usage: tovrin-report-server --cert FILE --key FILE [--listen HOST:PORT] [--spool DIR] "
    "[--max-bytes N]\n";
const size_t kThreads = 64;
const time_t kTimeoutSeconds = 30;
// Read past the limit, unstored, so the client is still listening when told
// its report is too large; a client that goes on and on is cut off.
const uint64_t kDrainBytes = 16 << 20;
// The library hands the body over in 4 KiB pieces; gathered, they cost one
// write per MiB instead of one per piece.
const size_t kWriteBuffer = 1 << 20;

struct Options {
    std::string cert, key, host, spool;
    int port = 8443;
    uint64_t maxBytes = 268435456;
};

Options options;
int spoolFd = -1;
std::atomic<unsigned long long> reportCounter{0};
std::mutex logMutex;

// What the log line needs to know of the request being answered; a request is
// handled from start to finish on one thread.
thread_local uint64_t requestBytes;
thread_local std::string requestId;

[[noreturn]] void fail(const std::string &message)
{
    fprintf(stderr, "tovrin-report-server: %s\n", message.c_str());
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

void parseListen(const std::string &text)
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

void parseArguments(int argc, char *argv[])
{
    options.host = "localhost";
    options.spool = "reports";
    for (int i = 1; i < argc; i++) {
        std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            fputs(kUsage, stdout);
            fputs("Stores each report sent by HTTPS PUT to /report/ as one file in the spool\n"
                  "directory (default ./reports). Listens on localhost:8443 by default.\n"
                  "--max-bytes limits the size of a report (default 268435456).\n",
                  stdout);
            exit(0);
        }
        if (flag != "--cert" && flag != "--key" && flag != "--listen" && flag != "--spool" &&
            flag != "--max-bytes")
            fail("unknown option '" + flag + "' (see --help)");
        if (i + 1 == argc)
            fail(flag + " needs a value (see --help)");
        std::string value = argv[++i];
        if (flag == "--cert")
            options.cert = value;
        else if (flag == "--key")
            options.key = value;
        else if (flag == "--listen")
            parseListen(value);
        else if (flag == "--spool")
            options.spool = value;
        else if (!parseNumber(value.c_str(), UINT64_MAX, options.maxBytes))
            fail("--max-bytes needs a number of bytes, got '" + value + "'");
    }
    if (options.cert.empty() || options.key.empty())
        fail("--cert FILE and --key FILE are required (see --help)");
}

std::string sslError()
{
    char text[256] = "unknown error";
    if (unsigned long code = ERR_peek_last_error())
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

// Also run once at start, on its own context, so a bad file is named there.
bool setUpTls(SSL_CTX &ctx, std::string *error)
{
    SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(&ctx, SSL_OP_NO_COMPRESSION);
    const char *cert = options.cert.c_str(), *key = options.key.c_str();
    std::string problem;
    if (access(cert, R_OK) != 0)
        problem = "cannot read certificate " + options.cert + ": " + strerror(errno);
    else if (SSL_CTX_use_certificate_chain_file(&ctx, cert) != 1)
        problem = "bad certificate " + options.cert + ": " + sslError();
    else if (access(key, R_OK) != 0)
        problem = "cannot read key " + options.key + ": " + strerror(errno);
    else if (SSL_CTX_use_PrivateKey_file(&ctx, key, SSL_FILETYPE_PEM) != 1 ||
             SSL_CTX_check_private_key(&ctx) != 1)
        problem = "bad key " + options.key + ": " + sslError();
    if (error)
        *error = problem;
    return problem.empty();
}

void checkTls()
{
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()),
                                                          SSL_CTX_free);
    std::string error;
    if (!ctx)
        fail("cannot set up TLS: " + sslError());
    if (!setUpTls(*ctx, &error))
        fail(error);
}

const char kTempPrefix[] = ".tmp-";

// Temporary files are named .tmp-PID-XXXXXX; one whose process is gone was
// left by a crash. Nothing else in the spool is touched.
void removeStaleTemporaries()
{
    DIR *dir = opendir(options.spool.c_str());
    if (!dir)
        return;
    while (dirent *entry = readdir(dir)) {
        if (strncmp(entry->d_name, kTempPrefix, sizeof kTempPrefix - 1) != 0)
            continue;
        char *end;
        long pid = strtol(entry->d_name + sizeof kTempPrefix - 1, &end, 10);
        if (*end == '-' && pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
}

void openSpool()
{
    std::error_code error;
    std::filesystem::create_directories(options.spool, error);
    if (error)
        fail("cannot create spool " + options.spool + ": " + error.message());
    spoolFd = open(options.spool.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string probe = options.spool + "/" + kTempPrefix + "probe-XXXXXX";
    int fd = spoolFd < 0 ? -1 : mkostemp(&probe[0], O_CLOEXEC);
    if (fd < 0)
        fail("cannot write in spool " + options.spool + ": " + strerror(errno));
    close(fd);
    unlink(probe.c_str());
    removeStaleTemporaries();
}

struct TempFile {
    std::string path;
    int fd = -1;

    ~TempFile() { discard(); }
    void discard()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
        if (!path.empty())
            unlink(path.c_str());
        path.clear();
    }
};

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// The current UTC time in format, to the second, and the nanoseconds past it.
void utcNow(const char *format, char (&text)[32], long &nanoseconds)
{
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now);
    nanoseconds = static_cast<long>(std::chrono::nanoseconds(now - seconds).count());
    time_t whole = seconds.count();
    tm utc;
    gmtime_r(&whole, &utc);
    strftime(text, sizeof text, format, &utc);
}

// Sortable by time of arrival and unique: the clock to the nanosecond, this
// process and a counter.
std::string newId()
{
    long nanoseconds;
    char stamp[32], id[96];
    utcNow("%Y%m%dT%H%M%S", stamp, nanoseconds);
    snprintf(id, sizeof id, "%s.%09ldZ-%ld-%llu", stamp, nanoseconds, static_cast<long>(getpid()),
             ++reportCounter);
    return id;
}

// Durable before it is acknowledged: the data, then the name in the directory.
std::string store(TempFile &temp)
{
    bool synced = fsync(temp.fd) == 0;
    bool closed = close(temp.fd) == 0;
    temp.fd = -1;
    if (!synced || !closed)
        return "";
    std::string id = newId();
    std::string path = options.spool + "/" + id;
    // link() never replaces an existing file, unlike rename().
    if (link(temp.path.c_str(), path.c_str()) != 0)
        return "";
    temp.discard();
    if (fsync(spoolFd) != 0) {
        unlink(path.c_str());
        return "";
    }
    return id;
}

void reply(httplib::Response &res, int status, const std::string &text)
{
    res.status = status;
    res.set_content(text, "text/plain");
}

void tooLarge(httplib::Response &res)
{
    reply(res, 413, "Report too large: the limit is " + std::to_string(options.maxBytes) + " bytes");
}

// Anything but a well-formed PUT /report/ is answered from its head alone,
// before any of its body is read (and, with Expect: 100-continue, sent).
int refuse(const httplib::Request &req, httplib::Response &res)
{
    requestBytes = 0;
    requestId.clear();
    bool chunked = req.has_header("Transfer-Encoding");
    bool sized = req.has_header("Content-Length");
    const std::string &length = req.get_header_value("Content-Length");
    uint64_t size = 0;
    if (req.target != "/report/")
        reply(res, 404, "Not found: reports go to PUT /report/");
    else if (req.method != "PUT") {
        res.set_header("Allow", "PUT");
        reply(res, 405, "Method not allowed: reports go to PUT /report/");
    } else if (chunked &&
             strcasecmp(req.get_header_value("Transfer-Encoding").c_str(), "chunked") != 0)
        reply(res, 501, "Transfer-Encoding not supported");
    else if (!chunked && !sized)
        reply(res, 411, "Length required: send the report chunked or with Content-Length");
    else if (!chunked && !parseNumber(length.c_str(), UINT64_MAX, size))
        reply(res, 400, "Bad Content-Length");
    else if (!chunked && size > options.maxBytes)
        tooLarge(res);
    else if (req.has_header("Content-Encoding") &&
             req.get_header_value("Content-Encoding") != "identity")
        reply(res, 415, "Content-Encoding not supported: reports are stored as sent");
    else
        return 0;
    return res.status;
}

void receive(const httplib::Request &, httplib::Response &res, const httplib::ContentReader &read)
{
    TempFile temp;
    temp.path = options.spool + "/" + kTempPrefix + std::to_string(getpid()) + "-XXXXXX";
    temp.fd = mkostemp(&temp.path[0], O_CLOEXEC);
    if (temp.fd < 0) {
        temp.path.clear();
        return reply(res, 500, "Cannot store the report");
    }

    bool overLimit = false, writeFailed = false;
    std::string pending;
    pending.reserve(kWriteBuffer);
    bool complete = read([&](const char *data, size_t size) {
        requestBytes += size;
        if (requestBytes > options.maxBytes) {
            overLimit = true;
            temp.discard();
            return requestBytes - options.maxBytes <= kDrainBytes;
        }
        pending.append(data, size);
        if (pending.size() >= kWriteBuffer) {
            writeFailed = !writeAll(temp.fd, pending.data(), pending.size());
            pending.clear();
        }
        return !writeFailed;
    });
    if (complete && !overLimit && !writeFailed)
        writeFailed = !writeAll(temp.fd, pending.data(), pending.size());

    if (overLimit)
        return tooLarge(res);
    if (writeFailed)
        return reply(res, 500, "Cannot store the report");
    if (!complete)
        return reply(res, 400, "Report incomplete: the body was cut off or malformed");
    requestId = store(temp);
    if (requestId.empty())
        return reply(res, 500, "Cannot store the report");
    reply(res, 200, "OK " + requestId + "\n");
}

std::string printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\x%02x", c);
        out += c > 0x20 && c < 0x7f && c != '\\' ? std::string(1, static_cast<char>(c)) : escaped;
    }
    return out.empty() ? "-" : out;
}

void logRequest(const httplib::Request &req, const httplib::Response &res)
{
    long nanoseconds;
    char stamp[32];
    utcNow("%Y-%m-%dT%H:%M:%S", stamp, nanoseconds);
    std::string peer = req.remote_addr.find(':') == std::string::npos
                           ? req.remote_addr
                           : "[" + req.remote_addr + "]";
    std::lock_guard<std::mutex> lock(logMutex);
    fprintf(stderr, "%s.%03ldZ %s:%d %s %s %d %" PRIu64 " %s\n", stamp, nanoseconds / 1000000,
            peer.c_str(), req.remote_port, printable(req.method).c_str(),
            printable(req.target).c_str(), res.status, requestBytes,
            requestId.empty() ? "-" : requestId.c_str());
    requestBytes = 0;
    requestId.clear();
}

std::unique_ptr<httplib::SSLServer> newServer(size_t threads)
{
    auto server = std::make_unique<httplib::SSLServer>(
        [](SSL_CTX &ctx) { return setUpTls(ctx, nullptr); });
    if (!server->is_valid())
        fail("cannot set up TLS: " + sslError());
    server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // Without SO_REUSEPORT, the library's default, so a port in use is an error.
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // The 100 Continue and the reply are small: Nagle would hold them back
    // behind unacknowledged data for a delayed ACK (40 ms).
    server->set_tcp_nodelay(true);
    server->set_read_timeout(kTimeoutSeconds);
    server->set_write_timeout(kTimeoutSeconds);
    // One request per connection: a refused request's unread body is never
    // taken for the next request.
    server->set_keep_alive_max_count(1);
    server->set_payload_max_length(options.maxBytes);
    server->set_expect_100_continue_handler([](const httplib::Request &req, httplib::Response &res) {
        return refuse(req, res) ? res.status : 100;
    });
    server->set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        return refuse(req, res) ? httplib::Server::HandlerResponse::Handled
                                : httplib::Server::HandlerResponse::Unhandled;
    });
    server->Put("/report/", receive);
    server->set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty())
            res.set_content("Error " + std::to_string(res.status), "text/plain");
    });
    server->set_logger(logRequest);
    return server;
}

std::vector<std::string> resolve(const std::string &host)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found;
    if (int error = getaddrinfo(host.c_str(), nullptr, &hints, &found))
        fail("cannot resolve " + host + ": " + gai_strerror(error));
    std::vector<std::string> addresses;
    for (addrinfo *ai = found; ai; ai = ai->ai_next) {
        char text[NI_MAXHOST];
        if (getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0,
                        NI_NUMERICHOST) == 0 &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end())
            addresses.push_back(text);
    }
    freeaddrinfo(found);
    return addresses;
}

std::string url(const std::string &address)
{
    std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
    return "https://" + host + ":" + std::to_string(options.port) + "/report/";
}

} // namespace

int main(int argc, char *argv[])
{
    parseArguments(argc, argv);
    checkTls();
    openSpool();

    // Signals are taken by sigwait below, not by whichever thread is running.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // One listener per address: localhost is usually both 127.0.0.1 and ::1.
    std::vector<std::string> addresses = resolve(options.host);
    std::vector<std::unique_ptr<httplib::SSLServer>> servers;
    std::string where;
    for (const std::string &address : addresses) {
        auto server = newServer(std::max<size_t>(kThreads / addresses.size(), 8));
        errno = 0;
        if (server->bind_to_port(address, options.port)) {
            servers.push_back(std::move(server));
            where += (where.empty() ? "" : " and ") + url(address);
        } else if (addresses.size() == 1 || (errno != EADDRNOTAVAIL && errno != EAFNOSUPPORT)) {
            fail("cannot listen on " + url(address) + ": " +
                 (errno ? strerror(errno) : "unknown error"));
        }
    }
    if (servers.empty())
        fail("cannot listen on any address of " + options.host);

    std::error_code error;
    auto spool = std::filesystem::absolute(options.spool, error);
    fprintf(stderr, "tovrin-report-server: listening on %s, storing reports in %s\n",
            where.c_str(), spool.c_str());

    std::atomic<bool> listenerFailed{false};
    std::vector<std::thread> threads;
    for (auto &server : servers) {
        httplib::SSLServer *listener = server.get();
        threads.emplace_back([listener, &listenerFailed] {
            if (!listener->listen_after_bind()) {
                listenerFailed = true;
                kill(getpid(), SIGTERM);
            }
        });
    }
    // stop() only takes effect on a running server.
    for (auto &server : servers)
        while (!server->is_running() && !listenerFailed)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));

    int signalNumber;
    sigwait(&stopSignals, &signalNumber);
    // In-flight uploads are finished or, if their client stalls, time out.
    for (auto &server : servers)
        server->stop();
    for (auto &thread : threads)
        thread.join();
    fprintf(stderr, "tovrin-report-server: %s\n", listenerFailed ? "a listener failed" : "stopped");
    return listenerFailed ? 1 : 0;
}
