// The no-follow walker: how root reaches, opens, creates, renames and removes
// things below directories that other users can write (the mail tree belongs
// to popuser, the table directory to postfix, the lock directory lies in a
// world-writable one). There a path is a question, not an answer: between two
// calls any element of it may become a link, a FIFO or another file.
//
// - A path is walked from "/" (or from the working directory, or from a given
//   directory descriptor) one level at a time with openat(O_NOFOLLOW |
//   O_DIRECTORY). A symbolic link is followed only where it stands in a
//   directory that only root can change (owned by root, writable by neither
//   group nor others), such as "/var/lock" -> "/run/lock"; anywhere else the
//   walk stops with ELOOP. Stops: a mailbox owner who replaces a domain
//   directory or a home by a link to "/" or "/etc", to make root create,
//   rename, remove, count or chown there.
// - The last step is an *at call on the directory descriptor reached, never
//   a joined path string.
// - Files are opened with O_NOFOLLOW | O_NONBLOCK and checked with fstat:
//   anything but a regular file is refused (ELOOP a link, EISDIR a directory,
//   EBADFD anything else), so nothing is read from or written to a link, a
//   device or a FIFO, and no open waits for a FIFO's other end. O_TRUNC is
//   applied only after the check. Stops: a FIFO at ".qmail" or "maildirsize"
//   hanging a run that holds a lock; a link there redirecting a write.
// - In a directory others can write, a regular file with more than one link
//   is refused (EMLINK): it is a hard link to a file elsewhere, and writing,
//   chowning or copying it out would reach that file. Stops: a hard link at
//   ".qmail" to "/etc/shadow" being handed to popuser.
// - New files are created with O_CREAT | O_EXCL | O_NOFOLLOW after whatever
//   stood at the name is removed. Stops: a link planted at a fixed temporary
//   name.
//
// The functions never throw and never log: they return a descriptor (or 0)
// on success, -1 with errno set on failure. Descriptors are close-on-exec.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>

// The directory at `path` (absolute, or relative to the working directory).
int walk_open_dir(const char* path);

// The directory at `relative` (one or more levels) below the directory `dir`.
int walk_open_dir_at(int dir, const char* relative);

// As walk_open_dir, creating each missing level with mkdirat(`mode`, less
// the umask) on the way.
int walk_make_dirs(const char* path, mode_t mode);

// The directory that holds the last element of `path`, whose name is stored
// in `name` (trailing "/" ignored). EINVAL when there is no last element or
// it is "." or "..".
int walk_open_parent(const char* path, std::string* name);

// The regular file `name` in `dir`, opened with `flags` (O_CREAT creates it
// with `mode` when nothing stands there). `st`, when given, receives its
// fstat.
int walk_open_file_at(int dir, const char* name, int flags, mode_t mode = 0644,
                      struct stat* st = nullptr);

// walk_open_parent, then walk_open_file_at.
int walk_open_file(const char* path, int flags, mode_t mode = 0644, struct stat* st = nullptr);

// A new regular file `name` in `dir`: whatever other than a directory stood
// there is removed, then it is created with O_CREAT | O_EXCL | O_NOFOLLOW,
// `flags` and `mode`.
int walk_create_fresh_at(int dir, const char* name, int flags, mode_t mode);

// Removes `name` in `dir` and everything below it. A link is removed itself,
// never followed, even when one replaces a directory while the tree is being
// removed. Nothing at `name` is no error.
int walk_remove_tree_at(int dir, const char* name);

// walk_remove_tree_at on the last element of `path`. A path that cannot be
// walked because a level is missing, is not a directory or is a link that is
// not followed leads to nothing: that counts as removed.
int walk_remove_tree(const char* path);

// Reads the directory open on `dir`, which it takes over and closes,
// calling `visit(dir, entry)` for every entry but "." and ".." until visit
// returns false. Nothing is opened or followed here: the visitor acts on an
// entry with *at calls on `dir`. 0 when every entry was visited; -1 with
// errno when `dir` is negative (a failed open, errno as that open left it),
// when the directory cannot be read, or when visit returned false.
int walk_each_entry(int dir, const std::function<bool(int dir, const struct dirent& entry)>& visit);

// True when only root can change the directory whose status is `st`.
bool walk_dir_closed(const struct stat& st);

// strerror, with the refusals above said plainly: "a symbolic link (not
// followed)" for ELOOP, "not a regular file" for EBADFD, "a hard link to
// another file" for EMLINK.
const char* walk_strerror(int error);
