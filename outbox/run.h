// One run of the tool on one report, under a time limit.
#pragma once

#include <string>

struct ToolRun {
    int status = -1;     // the exit status, or -1 when it did not exit by itself
    std::string output;  // the start of what it printed: enough for its first lines
    std::string trouble; // why it did not exit by itself, when it did not
};

struct Tool {
    std::string path, caPath; // caPath empty: the tool's default
    int timeout = 300;        // seconds
};

// The tool installed beside this program: the one of the same build.
bool toolBeside(Tool &tool, std::string &why);

// Runs the tool with reportFd as its standard input. Past its timeout the
// tool is killed with its process group; it is also killed if this process
// dies first.
ToolRun runTool(const Tool &tool, int reportFd);
