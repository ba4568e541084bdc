// One run of the tool on one report, under a time limit.
#pragma once

#include <string>

struct ToolRun {
    int status = -1;     // the exit status, or -1 when it did not exit by itself
    std::string output;  // the start of what it printed: enough for its first lines
    std::string trouble; // why it did not exit by itself, when it did not
};

// The tool installed beside this program: the one of the same build.
bool toolBeside(std::string &tool, std::string &why);

// Runs tool [--ca-path caPath] with reportFd as its standard input. Past
// timeout seconds the tool is killed with its process group; it is also
// killed if this process dies first.
ToolRun runTool(const std::string &tool, const std::string &caPath, int reportFd, int timeout);
