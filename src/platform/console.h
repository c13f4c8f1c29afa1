// The console the tools write to: whether a standard stream is a terminal.
#pragma once

// stream: 1 for standard output, 2 for standard error.
bool OsIsTerminal(int stream);
