// postmap invocations of the lookup-table store, record validation, the
// full rebuilds under the lock by name, and the batch of pending changes.
#include "postfix/database_helper.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "lib/tree_walk.h"
#include "lib/utf8.h"
#include "postfix/errors.h"
#include "postfix/record_filters.h"
#include "util/autoclean_ofstream.h"
#include "util/mklock.h"
#include "util/process.h"

namespace marun {
namespace mail {
namespace postfix {

using process::InputChannel;
using process::OutputChannel;
using process::Parameters;
using process::Pipe;

namespace {

const char* const POSTMAP = "/usr/sbin/postmap";
// Records are handed to postmap in batches of about this many bytes: few
// enough system calls, and never the whole range at once.
const size_t FEED_BATCH = 16384;

// The text for messages, with control characters made visible.
std::string shown(const std::string& text) {
    std::string result;
    for (unsigned char c : text) {
        if (c == '\n') {
            result += "\\n";
        } else if (c == '\t') {
            result += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            result += buf;
        } else {
            result += static_cast<char>(c);
        }
    }
    return result;
}

// postmap reads "key value" lines without any escaping: a key with a blank
// or line feed, or a value with a line feed, would turn into other records;
// an empty key or a key starting with "#" would join the previous record or
// vanish as a comment, and an empty value is dropped with a mere warning.
// Bytes that are not valid UTF-8 make postmap skip the line, again with a
// mere warning.
void checkKey(const std::string& table, const std::string& key) {
    if (key.empty() || key[0] == '#' || key.find_first_of(" \t\n") != std::string::npos ||
        !utf8_valid(key)) {
        throw PostfixDatabaseError("invalid key \"" + shown(key) + "\" for table " + table +
                                   ": a key must be valid UTF-8, not be empty, begin with "
                                   "\"#\" or hold a blank, a tab or a line feed");
    }
}

void checkValue(const std::string& table, const std::string& key, const std::string& value) {
    if (value.find('\n') != std::string::npos ||
        value.find_first_not_of(" \t") == std::string::npos || !utf8_valid(value)) {
        throw PostfixDatabaseError("invalid value \"" + shown(value) + "\" of key \"" + shown(key) +
                                   "\" for table " + table +
                                   ": a value must be valid UTF-8, not be empty or hold a "
                                   "line feed");
    }
}

template <class Iterator>
void checkRecords(const std::string& table, Iterator first, Iterator last) {
    for (; first != last; ++first) {
        checkKey(table, first->first);
        checkValue(table, first->first, first->second);
    }
}

template <class Iterator>
void checkKeys(const std::string& table, Iterator first, Iterator last) {
    for (; first != last; ++first) {
        checkKey(table, *first);
    }
}

// A line that a filter kept must still be one valid record.
void checkRecordLine(const std::string& table, const std::string& line) {
    size_t keyEnd = 0;
    while (keyEnd < line.size() && !database::isBlank(line[keyEnd])) {
        ++keyEnd;
    }
    std::string key = line.substr(0, keyEnd);
    checkKey(table, key);
    checkValue(table, key, keyEnd < line.size() ? line.substr(keyEnd + 1) : std::string());
}

bool exitedWithZero(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// True when postmap's diagnostics say it left an input line out ("...
// -- ignoring this line", "skipping ...", "expected format: key whitespace
// value"): it still exits with 0, but the change did not happen.
bool skippedInput(const std::string& errors) {
    for (const char* sign : {"ignoring", "skipping", "expected format"}) {
        if (errors.find(sign) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Runs the pipe with standard error collected into `errors`. A run whose
// diagnostics say it skipped input counts as failed (exit status 1).
int runCollectingErrors(Pipe& pipe, std::string& errors) {
    errors.clear();
    pipe.stderrChannel = OutputChannel(process::STREAM_PIPE, process::makeStringReceiver(errors));
    int status = pipe.run();
    return exitedWithZero(status) && skippedInput(errors) ? 1 << 8 : status;
}

[[noreturn]] void configurationFailure(const std::string& errors) {
    throw PostfixConfigurationError(errors.empty() ? "unknown error" : errors);
}

// A removal succeeds on exit status 0, and on another exit status when the
// diagnostics hold warnings at most (postmap exits 1 for a missing key).
void judgeRemoval(int status, const std::string& errors) {
    if (WIFSIGNALED(status)) {
        throw PostfixDatabaseError(errors);
    }
    if (exitedWithZero(status) || (checkOutput(errors, false) && !skippedInput(errors))) {
        return;
    }
    throw PostfixDatabaseError(errors);
}

void checkSourceWritten(const std::ostream& source, const std::string& path) {
    if (source.fail()) {
        int code = errno != 0 ? errno : EIO;
        throw PostfixConfigurationError("unable to write table source " + path + ": " +
                                        walk_strerror(code));
    }
}

}  // namespace

bool checkOutput(const std::string& output, bool onlyWarnings) {
    size_t pos = 0;
    while (pos < output.size()) {
        size_t end = output.find('\n', pos);
        if (end == std::string::npos) {
            end = output.size();
        }
        const std::string line = output.substr(pos, end - pos);
        pos = end + 1;

        size_t colon = line.find(':');
        if (colon == std::string::npos || colon + 1 >= line.size()) {
            continue;
        }
        size_t severity = line.find_first_not_of(' ', colon + 1);
        if (severity == std::string::npos || severity + 1 == line.size()) {
            continue;
        }
        if (line.find(':', severity + 1) == std::string::npos) {
            continue;
        }
        if (line.compare(severity, 6, "panic:") == 0 || line.compare(severity, 6, "fatal:") == 0 ||
            line.compare(severity, 6, "error:") == 0) {
            return false;
        }
        if (onlyWarnings && line.compare(severity, 8, "warning:") != 0) {
            return false;
        }
    }
    return true;
}

std::string DatabaseHelper::tablePath(const std::string& table) {
    size_t colon = table.find(':');
    return colon == std::string::npos ? table : table.substr(colon + 1);
}

void DatabaseHelper::addRecord(const std::string& table, const std::string& key,
                               const std::string& value) {
    RecordVector records(1, Record(key, value));
    addRecords(table, records.cbegin(), records.cend());
}

template <class Iterator>
void DatabaseHelper::addRecords(const std::string& table, Iterator first, Iterator last) {
    if (first == last) {
        return;
    }
    checkRecords(table, first, last);
    Pipe pipe(Parameters(POSTMAP, "-r", "-i", table));
    Iterator current = first;
    pipe.stdinChannel = InputChannel(process::STREAM_PIPE, [&](std::vector<char>& buffer) {
        bool more = true;
        while (more && buffer.size() < FEED_BATCH) {
            more = formRecord(buffer, current, last);
        }
        return more;
    });
    pipe.stdoutChannel.code = process::STREAM_INHERIT;
    std::string errors;
    if (!exitedWithZero(runCollectingErrors(pipe, errors))) {
        configurationFailure(errors);
    }
}

template <class Iterator>
void DatabaseHelper::replaceRecords(const std::string& table, Iterator first, Iterator last) {
    checkRecords(table, first, last);
    const std::string path = tablePath(table);
    // Declared first, released last: after the source file is gone.
    MKLock lock(path, MKLock::LOCK_BY_NAME, MKLock::BLOCKING);
    AutocleanOFStream source(path);
    checkSourceWritten(source, path);
    for (; first != last; ++first) {
        source.write(first->first.data(), static_cast<std::streamsize>(first->first.size()));
        source.put(' ');
        source.write(first->second.data(), static_cast<std::streamsize>(first->second.size()));
        source.put('\n');
    }
    source.close();
    checkSourceWritten(source, path);

    Pipe pipe(Parameters(POSTMAP, "-r", table));
    std::string errors;
    if (!exitedWithZero(runCollectingErrors(pipe, errors))) {
        configurationFailure(errors);
    }
}

void DatabaseHelper::removeRecord(const std::string& table, const std::string& key) {
    checkKey(table, key);
    if (key == "-") {
        // As an argument "-" would mean "read the keys from standard input".
        KeyList keys(1, key);
        removeRecords(table, keys.cbegin(), keys.cend());
        return;
    }
    Pipe pipe(Parameters(POSTMAP, "-d", key, table));
    pipe.stdinChannel.code = process::STREAM_DEVNULL;
    std::string errors;
    int status = runCollectingErrors(pipe, errors);
    judgeRemoval(status, errors);
}

template <class Iterator>
void DatabaseHelper::removeRecords(const std::string& table, Iterator first, Iterator last) {
    if (first == last) {
        return;
    }
    checkKeys(table, first, last);
    Pipe pipe(Parameters(POSTMAP, "-d", "-", table));
    Iterator current = first;
    pipe.stdinChannel = InputChannel(process::STREAM_PIPE, [&](std::vector<char>& buffer) {
        bool more = true;
        while (more && buffer.size() < FEED_BATCH) {
            more = printKey(buffer, current, last);
        }
        return more;
    });
    std::string errors;
    int status = runCollectingErrors(pipe, errors);
    judgeRemoval(status, errors);
}

bool DatabaseHelper::hasKey(const std::vector<std::string>& tables, const std::string& key) {
    if (tables.empty()) {
        return false;
    }
    checkKey(tables.front(), key);
    // The key goes through standard input ("-q -"), so that no key can be
    // taken for an option; postmap prints "key<TAB>value" for each key found.
    Parameters lookup(POSTMAP, "-q", "-");
    lookup.args.insert(lookup.args.end(), tables.begin(), tables.end());
    Pipe pipe(lookup);
    const std::string line = key + "\n";
    pipe.stdinChannel = InputChannel(process::STREAM_PIPE, [&line](std::vector<char>& buffer) {
        buffer.insert(buffer.end(), line.begin(), line.end());
        return false;
    });
    std::string found;
    pipe.stdoutChannel = OutputChannel(process::STREAM_PIPE, process::makeStringReceiver(found));
    std::string errors;
    int status = runCollectingErrors(pipe, errors);
    // Exit status 1 without diagnostics means "not found".
    if (WIFSIGNALED(status) || (!exitedWithZero(status) && !checkOutput(errors, false))) {
        throw PostfixDatabaseError(errors.empty() ? "unknown error" : errors);
    }
    return !found.empty();
}

void DatabaseHelper::filterRecordLines(const std::string& table, const LineFilter& filter) {
    Pipe pipe(Parameters(POSTMAP, "-s", table));
    pipe.stdinChannel.code = process::STREAM_DEVNULL;

    const std::string path = tablePath(table);
    MKLock lock(path, MKLock::LOCK_BY_NAME, MKLock::BLOCKING);
    AutocleanOFStream source(path);
    checkSourceWritten(source, path);

    // A kept line must still be a valid record: a filter that put a line
    // feed or a blank key into it would corrupt the rebuilt table.
    LineFilter checked = [&table, &filter](std::string& line) {
        if (!filter(line)) {
            return false;
        }
        checkRecordLine(table, line);
        return true;
    };
    database::DataStreamFilter<LineFilter> lines(checked, source);
    pipe.stdoutChannel =
        OutputChannel(process::STREAM_PIPE,
                      [&lines](const std::vector<char>& chunk) { lines.filterChunk(chunk); });
    std::string errors;
    if (!exitedWithZero(runCollectingErrors(pipe, errors))) {
        configurationFailure(errors);
    }
    lines.finish();
    source.close();
    checkSourceWritten(source, path);

    pipe.assign(Parameters(POSTMAP, table));
    pipe.stdinChannel = InputChannel();
    pipe.stdoutChannel = OutputChannel();
    if (!exitedWithZero(runCollectingErrors(pipe, errors))) {
        configurationFailure(errors);
    }
}

void BatchDatabaseHelper::addChange(const std::string& table, const std::string& key,
                                    const std::string& value) {
    RecordVector records(1, Record(key, value));
    addChanges(table, records.cbegin(), records.cend());
}

template <class Iterator>
void BatchDatabaseHelper::addChanges(const std::string& table, Iterator first, Iterator last) {
    if (immediate_) {
        if (incremental_) {
            DatabaseHelper::addRecords(table, first, last);
        } else {
            DatabaseHelper::replaceRecords(table, first, last);
        }
        return;
    }
    // Refused before anything is kept, so that a bad record cannot stop a
    // later commit half-way.
    checkRecords(table, first, last);
    try {
        RecordList& pending = pendingAdditions_[table];
        pending.insert(pending.end(), first, last);
    } catch (const std::bad_alloc&) {
        throw PostfixDatabaseError("unable to form record cache");
    }
}

template <class Iterator>
void BatchDatabaseHelper::removeChanges(const std::string& table, Iterator first, Iterator last) {
    if (immediate_) {
        DatabaseHelper::removeRecords(table, first, last);
        return;
    }
    checkKeys(table, first, last);
    try {
        KeyList& pending = pendingRemovals_[table];
        pending.insert(pending.end(), first, last);
    } catch (const std::bad_alloc&) {
        throw PostfixDatabaseError("unable to form record cache");
    }
}

void BatchDatabaseHelper::commit() {
    while (!pendingAdditions_.empty()) {
        auto table = pendingAdditions_.begin();
        if (incremental_) {
            DatabaseHelper::addRecords(table->first, table->second.cbegin(), table->second.cend());
        } else {
            DatabaseHelper::replaceRecords(table->first, table->second.cbegin(),
                                           table->second.cend());
        }
        pendingAdditions_.erase(table);
    }
    while (!pendingRemovals_.empty()) {
        auto table = pendingRemovals_.begin();
        DatabaseHelper::removeRecords(table->first, table->second.cbegin(), table->second.cend());
        pendingRemovals_.erase(table);
    }
}

// The ranges the managers hand in.
#define KVARN_RECORD_RANGE(Iterator)                                                            \
    template void DatabaseHelper::addRecords<Iterator>(const std::string&, Iterator, Iterator); \
    template void DatabaseHelper::replaceRecords<Iterator>(const std::string&, Iterator,        \
                                                           Iterator);                           \
    template void BatchDatabaseHelper::addChanges<Iterator>(const std::string&, Iterator, Iterator);
#define KVARN_KEY_RANGE(Iterator)                                                                  \
    template void DatabaseHelper::removeRecords<Iterator>(const std::string&, Iterator, Iterator); \
    template void BatchDatabaseHelper::removeChanges<Iterator>(const std::string&, Iterator,       \
                                                               Iterator);

KVARN_RECORD_RANGE(RecordList::iterator)
KVARN_RECORD_RANGE(RecordList::const_iterator)
KVARN_RECORD_RANGE(RecordVector::iterator)
KVARN_RECORD_RANGE(RecordVector::const_iterator)
KVARN_KEY_RANGE(KeyList::iterator)
KVARN_KEY_RANGE(KeyList::const_iterator)
KVARN_KEY_RANGE(std::vector<std::string>::iterator)
KVARN_KEY_RANGE(std::vector<std::string>::const_iterator)

#undef KVARN_RECORD_RANGE
#undef KVARN_KEY_RANGE

}  // namespace postfix
}  // namespace mail
}  // namespace marun
