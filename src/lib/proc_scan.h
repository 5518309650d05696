// The process table under /proc: walking the running processes and finding
// a child of a given process by its command name.
#pragma once

#include <sys/types.h>

#include <functional>

// Calls `visit` with the pid of every process in /proc until it returns
// true. Returns that pid, 0 when none was chosen, -1 when /proc cannot be
// read.
pid_t for_each_process(const std::function<bool(pid_t)>& visit);

// The pid of a live (not zombie) process whose parent is `parent` and whose
// command name (/proc/PID/stat, as the kernel truncates it) is exactly
// `name`; 0 when there is none, -1 when /proc cannot be read.
pid_t find_child_process(pid_t parent, const char* name);
