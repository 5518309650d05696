// Line-by-line editing of shared text files under the lock by name: append
// lines, prepend them, or drop lines equal to, beginning with, ending with or
// containing a text. Rewrites go through "<file>.tmp" renamed over the file.
// No two lines are ever joined and no line split: lines of any length are
// handled whole, a file holding a NUL byte is refused (1, errno EINVAL,
// nothing changed), a last line without its newline gets one before lines
// are appended, and a text to add that holds a line break is refused.
#pragma once

#include <string>
#include <vector>

enum file_action_t {
    FILE_ADD = 0,     // add the strings as lines (at FILE_BEGIN or FILE_END)
    FILE_REMOVE = 1,  // drop lines equal to one of the strings
    FILE_REMSUB = 2,  // drop lines that begin with / end with / contain a string
};

enum file_pos_t {
    FILE_BEGIN = 0,
    FILE_END = 1,
    FILE_MID = 2,
};

// file_strings with the single string `str`.
int file_str(const char* filename, const char* str, file_action_t cmd, file_pos_t set);

// Applies `cmd` at `set` with every string of `strs` while holding the lock by
// name on `filename`; a file that existed keeps its owner, group and mode.
// 0 on success, 1 on failure (reported through marun_log).
int file_strings(const char* filename, const std::vector<std::string>& strs, file_action_t cmd,
                 file_pos_t set);
