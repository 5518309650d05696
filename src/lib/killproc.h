// Signalling a running program by the path of its executable.
#pragma once

// Sends SIGINT to the first process whose executable is exactly `path`.
// Returns kill's result, or -1 without sending anything when no such process
// runs or the process table cannot be read.
int killproc(const char* path);

// The pid of the first process whose executable is exactly `path`; -1 when
// none runs or the process table cannot be read.
int find_process_by_exe(const char* path);
