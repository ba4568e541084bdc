#include "status.h"

#include "say.h"
#include "state.h"

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
    if (seconds < 2 * 86400)
        return std::to_string(seconds / 3600) + " h";
    return std::to_string(seconds / 86400) + " d";
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
    std::vector<std::string> waiting, failed, strays;
    std::string why;
    if (!listReports(outbox.queue, waiting, strays, why) || !listReports(outbox.failed, failed, strays, why)) {
        say(why);
        return kUnknown;
    }
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
