// postmap invocations of the lookup-table store, record validation, the
// writes under the table's lock by name (in place, or a new indexed file
// renamed into place), and the batch of pending changes.
#include "postfix/database_helper.h"

#include <sys/wait.h>

#include <algorithm>
#include <memory>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <ostream>

#include "lib/atomic_file.h"
#include "lib/tree_walk.h"
#include "lib/utf8.h"
#include "postfix/errors.h"
#include "postfix/record_diff.h"
#include "postfix/record_filters.h"
#include "postfix/table_files.h"
#include "util/autoclean_ofstream.h"
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

// The standard error of one postmap run, collected as it arrives. Warnings
// about duplicate keys are left out: a rewrite adds such keys on purpose
// (the first one stays), perhaps many, and they are no failure.
class Diagnostics {
  public:
    explicit Diagnostics(Pipe& pipe) {
        pipe.stderrChannel =
            OutputChannel(process::STREAM_PIPE, [this](const std::vector<char>& chunk) {
                for (char c : chunk) {
                    line_ += c;
                    if (c == '\n') {
                        keep();
                    }
                }
            });
    }
    Diagnostics(const Diagnostics&) = delete;
    Diagnostics& operator=(const Diagnostics&) = delete;

    // The run's wait status, except that a run whose diagnostics say it
    // skipped input counts as failed (exit status 1).
    int judged(int status) {
        keep();
        return exitedWithZero(status) && skippedInput(text_) ? 1 << 8 : status;
    }
    const std::string& text() const { return text_; }

  private:
    void keep() {
        if (line_.find(": warning: ") == std::string::npos ||
            line_.find("duplicate entry") == std::string::npos) {
            text_ += line_;
        }
        line_.clear();
    }

    std::string text_;
    std::string line_;
};

// Runs the pipe with standard error collected into `errors`; the status as
// Diagnostics::judged gives it.
int runCollectingErrors(Pipe& pipe, std::string& errors) {
    Diagnostics diagnostics(pipe);
    int status = diagnostics.judged(pipe.run());
    errors = diagnostics.text();
    return status;
}

[[noreturn]] void configurationFailure(const std::string& errors) {
    throw PostfixConfigurationError(errors.empty() ? "unknown error" : errors);
}

void configurationError(const std::string& message) {
    throw PostfixConfigurationError(message);
}

void databaseError(const std::string& message) {
    throw PostfixDatabaseError(message);
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
    TableFiles files(table, configurationError);
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
    int status = runCollectingErrors(pipe, errors);
    files.changedInPlace();
    if (!exitedWithZero(status)) {
        configurationFailure(errors);
    }
}

template <class Iterator>
void DatabaseHelper::replaceRecords(const std::string& table, Iterator first, Iterator last) {
    checkRecords(table, first, last);
    TableFiles files(table, configurationError);
    // The new table is built from a text source of its own beside the old
    // one, which stays untouched and readable until the rename.
    const std::string sourcePath = files.temporarySource();
    AutocleanOFStream source(sourcePath);
    checkSourceWritten(source, sourcePath);
    for (; first != last; ++first) {
        source.write(first->first.data(), static_cast<std::streamsize>(first->first.size()));
        source.put(' ');
        source.write(first->second.data(), static_cast<std::streamsize>(first->second.size()));
        source.put('\n');
    }
    source.close();
    checkSourceWritten(source, sourcePath);

    Pipe pipe(Parameters(POSTMAP, "-r", files.temporaryMap()));
    std::string errors;
    if (!exitedWithZero(runCollectingErrors(pipe, errors))) {
        configurationFailure(errors);
    }
    AtomicFile built;
    files.adoptBuilt(built);
    files.commit(built);
}

void DatabaseHelper::removeRecord(const std::string& table, const std::string& key) {
    checkKey(table, key);
    if (key == "-") {
        // As an argument "-" would mean "read the keys from standard input".
        KeyList keys(1, key);
        removeRecords(table, keys.cbegin(), keys.cend());
        return;
    }
    TableFiles files(table, databaseError);
    Pipe pipe(Parameters(POSTMAP, "-d", key, table));
    pipe.stdinChannel.code = process::STREAM_DEVNULL;
    std::string errors;
    int status = runCollectingErrors(pipe, errors);
    files.changedInPlace();
    judgeRemoval(status, errors);
}

template <class Iterator>
void DatabaseHelper::removeRecords(const std::string& table, Iterator first, Iterator last) {
    if (first == last) {
        return;
    }
    checkKeys(table, first, last);
    TableFiles files(table, databaseError);
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
    files.changedInPlace();
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

// One table of filterRecordLines: its files under the lock, its dump and
// the comparison of each dumped line with what the filter makes of it.
class DatabaseHelper::Rewrite {
  public:
    Rewrite(const std::string& table, const LineFilter& filter)
        : table_(table),
          files_(table, configurationError),
          filter_(filter),
          lines_(LineFilter([this](std::string& line) { return compare(line); }), nowhere_),
          dump_(Parameters(POSTMAP, "-s", table)),
          diagnostics_(dump_) {
        dump_.stdinChannel.code = process::STREAM_DEVNULL;
        dump_.stdoutChannel =
            OutputChannel(process::STREAM_PIPE,
                          [this](const std::vector<char>& chunk) { lines_.filterChunk(chunk); });
    }

    Pipe& dump() { return dump_; }

    // After the dump: the rest of it, and whether it succeeded.
    void dumped() {
        if (!exitedWithZero(diagnostics_.judged(dump_.statuses.back().status))) {
            configurationFailure(diagnostics_.text());
        }
        lines_.finish();
    }

    // Applies only the changes, to a copy, and renames it into place: the
    // deletions first, then the additions without "-r", so that of several
    // records with one key the first stays (RecordDiff says why). A rewrite
    // that changes nothing leaves the table alone.
    void apply() {
        if (diff_.empty()) {
            return;
        }
        AtomicFile copy;
        files_.copyIndexed(copy);
        const std::string temporary = files_.temporaryMap();
        std::string errors;
        for (bool deleting : {true, false}) {
            int input = deleting ? diff_.deletions() : diff_.additions();
            if (input < 0) {
                continue;
            }
            Pipe pipe(deleting ? Parameters(POSTMAP, "-d", "-", temporary)
                               : Parameters(POSTMAP, "-i", temporary));
            pipe.stdinChannel.code = input;
            // The keys to delete are in the table: postmap has no reason to
            // exit with another status than 0, but warnings do no harm.
            int status = runCollectingErrors(pipe, errors);
            if (!exitedWithZero(status) &&
                !(deleting && WIFEXITED(status) && checkOutput(errors, false))) {
                configurationFailure(errors);
            }
        }
        files_.commit(copy);
    }

  private:
    // A kept line that the filter changed must still be a valid record: a
    // filter that put a line feed or a blank key into it would corrupt the
    // table.
    bool compare(std::string& line) {
        dumpedLine_ = line;
        bool kept = filter_(line);
        if (diff_.add(dumpedLine_, kept, line) && kept) {
            checkRecordLine(table_, line);
        }
        return false;
    }

    const std::string table_;
    TableFiles files_;
    LineFilter filter_;
    RecordDiff diff_;
    std::string dumpedLine_;
    std::ostream nowhere_{nullptr};
    database::DataStreamFilter<LineFilter> lines_;
    Pipe dump_;
    Diagnostics diagnostics_;
};

void DatabaseHelper::filterRecordLines(const std::vector<std::string>& tables,
                                       const LineFilter& filter) {
    // The locks are taken in name order, so that two runs rewriting the
    // same tables never wait for each other in a circle.
    std::vector<std::string> byName(tables);
    std::sort(byName.begin(), byName.end(), [](const std::string& a, const std::string& b) {
        return tablePath(a) < tablePath(b);
    });
    byName.erase(std::unique(byName.begin(), byName.end()), byName.end());
    std::map<std::string, std::unique_ptr<Rewrite>> rewrites;
    std::vector<Pipe*> dumps;
    for (const std::string& table : byName) {
        std::unique_ptr<Rewrite>& rewrite = rewrites[table];
        rewrite.reset(new Rewrite(table, filter));
        dumps.push_back(&rewrite->dump());
    }
    // The tables' dumps run side by side: that is most of the time.
    Pipe::runSideBySide(dumps);
    for (auto& rewrite : rewrites) {
        rewrite.second->dumped();
    }
    for (const std::string& table : tables) {
        std::unique_ptr<Rewrite>& rewrite = rewrites[table];
        if (rewrite) {
            rewrite->apply();
            rewrite.reset();  // a table named twice is rewritten once
        }
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
