#include "upload.h"

#include "config.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string strOutput;

// Why standard input could not be read, for upload() to tell after the transfer.
static int readErrno;

// CURLOPT_READFUNCTION: the report, straight from standard input.
size_t readCallback(char *buffer, size_t size, size_t nitems, void * /*userdata*/)
{
    for (;;) {
        size_t got = fread(buffer, size, nitems, stdin);
        if (got > 0 || feof(stdin))
            return got;
        // Only end of file ends the body: an error must not pass for a
        // complete report, and a non-blocking or interrupted read is retried.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            readErrno = errno;
            return CURL_READFUNC_ABORT;
        }
        clearerr(stdin);
        struct pollfd pfd = {STDIN_FILENO, POLLIN, 0};
        poll(&pfd, 1, -1);
    }
}

// CURLOPT_WRITEFUNCTION: collects the reply in strOutput.
size_t writeCallback(char *data, size_t size, size_t nmemb, void * /*userdata*/)
{
    size_t bytes = size * nmemb;
    // No exception may unwind through libcurl; a short count fails the transfer.
    try {
        strOutput.append(data, bytes);
    } catch (...) {
        return 0;
    }
    return bytes;
}

CURLcode upload(CURL **curl, const char *caPath, char *errorText)
{
    curl_global_init(CURL_GLOBAL_ALL);
    *curl = curl_easy_init();
    if (!*curl) {
        fwrite("Unable to initialize curl library", 1, 33, stderr);
        exit(1);
    }

    curl_easy_setopt(*curl, CURLOPT_UPLOAD, 1L);
    // Redundant with CURLOPT_UPLOAD and deprecated, kept so the request is
    // a PUT whatever the library's defaults.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    curl_easy_setopt(*curl, CURLOPT_PUT, 1L);
#pragma GCC diagnostic pop
    curl_easy_setopt(*curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(*curl, CURLOPT_URL, TOVRIN_REPORT_URL);
    curl_easy_setopt(*curl, CURLOPT_READFUNCTION, readCallback);
    curl_easy_setopt(*curl, CURLOPT_CAPATH, caPath);
    // NULL drops the library's built-in bundle: only caPath is trusted.
    curl_easy_setopt(*curl, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(*curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(*curl, CURLOPT_WRITEFUNCTION, writeCallback);
    // HTTP/2 can hang an unknown-length upload when the server answers
    // early; the body is sent chunked over HTTP/1.1.
    curl_easy_setopt(*curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));

    CURLcode result = curl_easy_perform(*curl);
    // The library's own text would only say that the transfer was aborted.
    if (result == CURLE_ABORTED_BY_CALLBACK && readErrno != 0)
        snprintf(errorText, CURL_ERROR_SIZE, "Cannot read the report from standard input: %s",
                 strerror(readErrno));
    return result;
}
