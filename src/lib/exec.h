// Process execution of the plain-function library: fork/exec with the
// standard streams on given descriptors or collected into malloc'ed buffers,
// the panel's utility launchers, and popen-based shell commands. These
// functions report through messlog2 and return codes; they never throw.
//
// Argument conventions: the `...v...` forms take a complete, null-terminated
// argument vector (argv[0] first). The fork_execl_* forms take the same
// vector as a null-terminated list (argv[0] first, as execl(3)). fork_execv,
// util_exec, util_libexec and path_exec take only the arguments after the
// program, null-terminated; argv[0] is then the program's path.
//
// The popen_* functions hand `command` to /bin/sh: every untrusted part of it
// must have gone through sh_quote.
#pragma once

#include <sys/types.h>

// Puts `fd` onto `target` and closes `fd`; -1 stands for "/dev/null" opened
// read-write; nothing happens when both are equal. 0, or -1 on failure.
int dup2_custom(int fd, int target);

// Starts `path` with in, out and err (-1: "/dev/null") on its descriptors 0,
// 1 and 2 and every other descriptor closed. Returns the pid, or -1.
pid_t fork_execv_pipes(int in, int out, int err, const char* path, char* const argv[]);
pid_t fork_execl_pipes(int in, int out, int err, const char* path, ...);

// Run with standard input from "/dev/null", collecting standard output
// (and error) into malloc'ed, NUL-terminated buffers that the caller frees.
// Return the exit status; -1 when the program could not be started (the
// buffers stay null) or a signal ended it (they hold what it wrote).
int fork_execv_getouterr(char** out, char** err, const char* path, char* const argv[]);
int fork_execl_getouterr(char** out, char** err, const char* path, ...);
int fork_execv_getout(char** out, const char* path, char* const argv[]);
int fork_execl_getout(char** out, const char* path, ...);

// fork_execv_getouterr; on a non-zero result and unless `quiet`, the output
// is copied to standard error and the failure is reported.
int fork_execv_log(const char* path, char* const argv[], int quiet);

// Standard output and error together into `*output` (malloc'ed; the caller
// frees it). 0 on success; otherwise the failure is reported and the exit
// status (above 0) or -1 is returned. `envp` null keeps the environment.
int fork_execvv_getoutput(char** output, const char* path, char* const argv[], char* const envp[]);
int fork_execv_getoutput(char** output, const char* path, char* const argv[]);

// Standard input from `in`, standard output to `out` (neither may be 0, 1
// or 2). The exit status, or -1.
int fork_execv_fd(int in, int out, const char* path, char* const argv[]);

// All three streams on "/dev/null". The exit status; 1 when killed by a
// signal; -1 when it could not be started.
int fork_execv(const char* path, ...);

// The panel's utilities: "<PRODUCT_ROOT_D>/admin/sbin/<name>" (a name with
// "/" is refused) and "/usr/lib/marun-9.0/<name>", run through
// fork_execv_log. The exit status, or -1.
int util_exec(const char* name, ...);
int util_exec_args(const char* name, char* const argv[]);
int util_libexec(const char* name, ...);

// Runs `path` with up to 99 arguments through fork_execv_log.
int path_exec(const char* path, ...);

// Shell commands through popen(3): the exit status, or -1.
int popen_exec(const char* command);
int popen_exec_getoutput(char** output, const char* command);
int popen_exec_with_input(const char* command, const char* input);

// fork, execv, waitpid: the raw wait status, or -1.
int do_exec(const char* path, char* const argv[]);
