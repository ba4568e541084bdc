// Standard error that never holds the server up: a line it cannot take at
// once is dropped and counted, and the count is told once it takes lines
// again; a line it took in part is finished before anything else.
#pragma once

#include <string>

// Called once, before any thread is started.
void openLog();
// text is one or more whole lines.
void logLines(const std::string &text);
