#include "deliver.h"

#include "run.h"
#include "say.h"
#include "state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <vector>

namespace {

const char kInvalid[] = "Invalid response from server: ";
const size_t kMessage = 300;
const int kMaxPasses = 100;

// Exponential, with half of it drawn at random so that senders that failed
// together do not retry together: 15-30 s after the first failure, then
// twice that each time, up to 30-60 min.
int64_t backOff(int attempts)
{
    int64_t wait = std::min<int64_t>(3600, 30LL << std::min(attempts - 1, 7));
    uint32_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
        random = static_cast<uint32_t>(getpid()) * 2654435761U; // differs between senders all the same
    return wait / 2 + static_cast<int64_t>(random % static_cast<uint32_t>(wait / 2 + 1));
}

// The tool's first line, one line and not too long for the state.
std::string firstLine(const ToolRun &run)
{
    if (!run.trouble.empty())
        return run.trouble;
    std::string line = run.output.substr(0, std::min(run.output.find('\n'), kMessage));
    return line.empty() ? "the tool exited " + std::to_string(run.status) + " saying nothing" : line;
}

struct Round {
    const Outbox &outbox;
    const DeliverOptions &options;
    Tool tool;
    bool removed = false, unreachable = false, broken = false;
};

void giveUp(Round &round, const std::string &name, const State &state)
{
    const Outbox &o = round.outbox;
    std::string why;
    if (!writeState(o, o.failed, name, state, why) || renameat(o.queue, name.c_str(), o.failed, name.c_str()) != 0 ||
        fsync(o.failed) != 0) {
        say("cannot move " + name + " to failed/: " + (why.empty() ? strerror(errno) : why));
        round.broken = true;
        return;
    }
    unlinkat(o.queue, (name + kStateSuffix).c_str(), 0);
    round.removed = true;
    say("gave up on " + name + " after " + std::to_string(state.attempts) + " attempts, moved to failed/: " +
        state.message);
}

void attempt(Round &round, const std::string &name)
{
    const Outbox &o = round.outbox;
    int64_t added = 0, now = time(nullptr);
    isReportName(name, &added);
    struct stat st;
    std::string why;
    int report = openEntry(o.queue, name, false, st, why);
    if (report < 0) {
        say("skipped queue/" + name + ": " + why);
        return;
    }
    State state;
    if (!readState(o.queue, name, true, state, why))
        say("ignored queue/" + name + kStateSuffix + " (" + why + "): starting afresh");
    if (state.next > now && !round.options.now) {
        close(report);
        return;
    }

    ToolRun run = runTool(round.tool, report);
    close(report);
    if (run.status == 0) {
        unlinkat(o.queue, (name + kStateSuffix).c_str(), 0);
        round.removed = true;
        if (unlinkat(o.queue, name.c_str(), 0) != 0) {
            say("delivered " + name + " but cannot remove it: " + strerror(errno));
            round.broken = true;
        }
        return;
    }
    // Only a reply that was not OK: the server is there and refused this one.
    bool rejected = run.status == 1 && run.output.compare(0, strlen(kInvalid), kInvalid) == 0;
    round.unreachable = !rejected;
    now = time(nullptr);
    state.attempts++;
    state.last = now;
    state.next = now + backOff(state.attempts);
    state.message = firstLine(run);
    if (now - added >= round.options.giveUp) {
        giveUp(round, name, state);
    } else if (writeState(o, o.queue, name, state, why)) {
        say(name + ": attempt " + std::to_string(state.attempts) + " failed, next in " +
            std::to_string(state.next - now) + " s: " + state.message);
    } else {
        say(why);
        round.broken = true;
    }
}

} // namespace

int deliver(const Outbox &outbox, const DeliverOptions &options)
{
    // The lock is the outbox's own folder, which adders cannot open.
    int lock = open(outbox.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
        bool busy = errno == EWOULDBLOCK;
        say(busy ? "another deliver is working on " + outbox.path + ": leaving it to that one"
                 : "cannot lock the outbox " + outbox.path + ": " + strerror(errno));
        if (lock >= 0)
            close(lock);
        return busy ? 0 : 1;
    }
    Round round{outbox, options, {"", options.caPath, options.timeout}, false, false, false};
    std::string why;
    if (!toolBeside(round.tool, why)) {
        say(why);
        close(lock);
        return 1;
    }
    sweepTemporaries(outbox);

    // Reports that arrive during the round are taken too, each once.
    std::set<std::string> seen;
    std::vector<std::string> names, strays;
    bool fresh = true;
    for (int pass = 0; fresh && pass < kMaxPasses && !round.unreachable && !round.broken; pass++) {
        if (!listReports(outbox.queue, names, strays, why)) {
            say(why);
            round.broken = true;
            break;
        }
        for (const std::string &stray : strays)
            if (seen.insert(stray).second)
                say("skipped queue/" + stray + ": not a report's name");
        fresh = false;
        for (size_t i = 0; i < names.size() && !round.unreachable && !round.broken; i++) {
            if (seen.insert(names[i]).second) {
                fresh = true;
                attempt(round, names[i]);
            }
        }
    }
    // One flush for the removals: a crash before it only sends a report again.
    if (round.removed && fsync(outbox.queue) != 0)
        round.broken = true;
    close(lock);
    return round.broken ? 1 : 0;
}
