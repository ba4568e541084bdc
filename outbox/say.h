// Messages: one line each on standard error, named for the program.
#pragma once

#include <cstdio>
#include <string>

inline void say(const std::string &message)
{
    std::string line = "tovrin-report-outbox: " + message + "\n";
    fwrite(line.data(), 1, line.size(), stderr);
}
