// tovrin-report-outbox: store-and-forward for tovrin-report. add queues a
// report durably and returns; deliver hands the queued reports to the tool
// installed beside this program, retrying with a back-off; status tells how
// the outbox fares. Here: the command line.
#include "add.h"
#include "deliver.h"
#include "say.h"
#include "status.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "Usage: tovrin-report-outbox add [--outbox DIR] < report\n"
    "       tovrin-report-outbox deliver [--outbox DIR] [--ca-path dir] [--timeout SECONDS] [--give-up SECONDS] "
    "[--now]\n"
    "       tovrin-report-outbox status [--outbox DIR] [--max-wait SECONDS]\n";

struct Options {
    std::string command, outbox = kDefaultOutbox;
    bool ownOutbox = false; // named with --outbox
    DeliverOptions deliver;
    int64_t maxWait = 24LL * 3600;
};

// A closed 0, 1 or 2 would be handed to the next file opened, and a report
// or a message written into it. Stands in for them; false if 0 was closed.
bool standardDescriptors()
{
    bool input = true;
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        input = input && fd != 0;
        if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDWR) != fd)
            _exit(1);
    }
    return input;
}

bool seconds(const char *text, int64_t max, int64_t &value)
{
    char *end;
    errno = 0;
    long long number = strtoll(text, &end, 10);
    if (*text < '0' || *text > '9' || *end || errno == ERANGE || number > max)
        return false;
    value = number;
    return true;
}

bool parse(int argc, char *argv[], Options &options)
{
    if (argc < 2)
        return false;
    options.command = argv[1];
    bool deliver = options.command == "deliver";
    for (int i = 2; i < argc; i++) {
        std::string flag = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        int64_t number = 0;
        if (deliver && flag == "--now") {
            options.deliver.now = true;
            continue;
        }
        if (!value)
            return false;
        i++;
        if (flag == "--outbox") {
            options.outbox = value;
            options.ownOutbox = true;
        } else if (deliver && flag == "--ca-path")
            options.deliver.caPath = value;
        else if (deliver && flag == "--timeout" && seconds(value, 86400, number) && number > 0)
            options.deliver.timeout = static_cast<int>(number);
        else if (deliver && flag == "--give-up" && seconds(value, INT64_MAX / 2, number))
            options.deliver.giveUp = number;
        else if (options.command == "status" && flag == "--max-wait" && seconds(value, INT64_MAX / 2, number))
            options.maxWait = number;
        else
            return false;
    }
    return deliver || options.command == "add" || options.command == "status";
}

} // namespace

int main(int argc, char *argv[])
{
    bool input = standardDescriptors();
    // A reader of our messages that has gone away must not end us half-way.
    signal(SIGPIPE, SIG_IGN);
    Options options;
    if (!parse(argc, argv, options)) {
        fputs(kUsage, stderr);
        return options.command == "status" ? kUnknown : 1;
    }
    if (options.command == "add" && !input) {
        say("standard input is closed: no report, nothing queued");
        return 1;
    }

    // add and deliver make a missing --outbox, private to the user; the
    // default one is the package's to make, with its group's permissions.
    Outbox outbox;
    std::string why;
    if (!openOutbox(options.outbox, options.ownOutbox && options.command != "status", outbox, why)) {
        say(why);
        return options.command == "status" ? kUnknown : 1;
    }
    int result = options.command == "add"       ? add(outbox)
                 : options.command == "deliver" ? deliver(outbox, options.deliver)
                                                : status(outbox, options.maxWait);
    closeOutbox(outbox);
    return result;
}
