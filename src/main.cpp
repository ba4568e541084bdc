#include "config.h"
#include "upload.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

static const char defaultCaPath[] = TOVRIN_CA_DIR;

// Static, so it reads as empty text if the library leaves no detail.
static char errorText[CURL_ERROR_SIZE];

static void usage()
{
    fputs("Usage: tovrin-report [--ca-path dir]\n", stdout);
    fflush(stdout);
}

// A closed 0, 1 or 2 would be handed to the next file or socket opened: the
// report would be read from the TLS connection, or messages written into it.
// A closed standard input is no report, not an empty one: the stand-in for it
// is opened write-only, so reading it fails as the closed descriptor would.
static bool openStandardDescriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDWR) != fd)
            return false;
    }
    return true;
}

int main(int argc, char *argv[])
{
    if (!openStandardDescriptors())
        return 1;
    // A reader of our messages that has gone away must not turn exit status 1
    // into death by SIGPIPE.
    signal(SIGPIPE, SIG_IGN);

    const char *caPath = defaultCaPath;
    if (argc != 1 && argc != 3) {
        usage();
        return 1;
    }
    if (argc == 3) {
        if (strcasecmp(argv[1], "--ca-path") != 0) {
            usage();
            return 1;
        }
        caPath = argv[2];
    }

    CURL *curl = nullptr;
    CURLcode result = upload(&curl, caPath, errorText);

    int status = 0;
    if (result != CURLE_OK) {
        fputs(errorText, stdout);
        fputc('\n', stdout);
        fflush(stdout);
        status = 1;
    }
    if (strOutput.compare(0, 2, "OK") != 0) {
        fputs("Invalid response from server: ", stdout);
        fwrite(strOutput.data(), 1, strOutput.size(), stdout);
        fputc('\n', stdout);
        fflush(stdout);
        status = 1;
    }

    curl_easy_cleanup(curl);
    return status;
}
