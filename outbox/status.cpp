#include "status.h"

#include "say.h"
#include "state.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

std::string ago(int64_t seconds)
{
    if (seconds < 120)
        return std::to_string(seconds) + " s";
    if (seconds < 7200)
        return std::to_string(seconds / 60) + " min";
    if (seconds < 2LL * 86400)
        return std::to_string(seconds / 3600) + " h";
    return std::to_string(seconds / 86400) + " d";
}

// The reports of folder fd that deliver would read; the rest it skips.
size_t keepReports(int fd, std::vector<std::string> &names)
{
    size_t before = names.size();
    for (size_t i = names.size(); i-- > 0;) {
        struct stat st;
        std::string why;
        int entry = openEntry(fd, names[i], false, st, why);
        if (entry < 0)
            names.erase(names.begin() + static_cast<long>(i));
        else
            close(entry);
    }
    return before - names.size();
}

// The latest attempt among names of folder fd, into last.
void latest(int fd, const std::vector<std::string> &names, State &last, std::string &lastName)
{
    for (const std::string &name : names) {
        State state;
        std::string why;
        if (readState(fd, name, false, state, why) && state.last > last.last) {
            last = state;
            lastName = name;
        }
    }
}

} // namespace

int status(const Outbox &outbox, int64_t maxWait)
{
    std::vector<std::string> waiting, failed, strays, failedStrays;
    std::string why;
    if (!listReports(outbox.queue, waiting, strays, why) || !listReports(outbox.failed, failed, failedStrays, why)) {
        say(why);
        return kUnknown;
    }
    size_t skipped = keepReports(outbox.queue, waiting) + strays.size();
    int64_t now = time(nullptr), added = now;
    if (!waiting.empty())
        isReportName(waiting.front(), &added);
    State last;
    std::string lastName;
    latest(outbox.queue, waiting, last, lastName);
    latest(outbox.failed, failed, last, lastName);

    std::string text = "waiting: " + std::to_string(waiting.size());
    if (!waiting.empty())
        text += ", the oldest added " + ago(now - added) + " ago";
    if (skipped > 0)
        text += "\nskipped: " + std::to_string(skipped) + " entries of the queue that are not reports";
    text += "\nfailed: " + std::to_string(failed.size()) + "\nlast attempt: ";
    text += lastName.empty() ? "none" : ago(now - last.last) + " ago, " + lastName + ": " + last.message;
    int health = kHealthy;
    if (!waiting.empty() && now - added > maxWait) {
        text += "\nunhealthy: the oldest report has waited " + ago(now - added) + ", longer than " + ago(maxWait);
        health = kWaitedTooLong;
    }
    if (!failed.empty()) {
        text += "\nunhealthy: " + std::to_string(failed.size()) + " in " + outbox.path + "/failed";
        health = kFailed;
    }
    puts(text.c_str());
    return health;
}
