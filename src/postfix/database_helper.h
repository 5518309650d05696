// The lookup-table store: every read and change of a Postfix hash table goes
// through /usr/sbin/postmap. DatabaseHelper adds, replaces, removes and
// filters records of one table; BatchDatabaseHelper gathers the changes of
// one manager operation for several tables; checkOutput judges the
// diagnostics of a Postfix tool.
#pragma once

#include <boost/function.hpp>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace marun {
namespace mail {
namespace postfix {

using Record = std::pair<std::string, std::string>;  // key, value
using RecordList = std::list<Record>;
using RecordVector = std::vector<Record>;
using KeyList = std::list<std::string>;

// True when the diagnostics of a Postfix tool hold no line whose severity is
// "panic:", "fatal:" or "error:" (with `onlyWarnings`, nothing but
// "warning:").
bool checkOutput(const std::string& output, bool onlyWarnings);

class DatabaseHelper {
  public:
    // `table` is a map name such as "hash:/var/spool/postfix/marun/virtual".
    // Records are refused (PostfixDatabaseError, nothing changed) when a key
    // is empty or holds a blank, tab or line feed, or a value is empty or
    // holds a line feed: the text form handed to postmap has no escaping.

    static void addRecord(const std::string& table, const std::string& key,
                          const std::string& value);
    // Adds or replaces the records in range order, in one postmap run.
    // Throws PostfixConfigurationError when postmap fails.
    template <class Iterator>
    static void addRecords(const std::string& table, Iterator first, Iterator last);
    // Makes the records the whole content of the table (an empty range
    // empties it), under the lock by name on the table's path.
    template <class Iterator>
    static void replaceRecords(const std::string& table, Iterator first, Iterator last);
    // Removals succeed when postmap reports nothing worse than warnings
    // (a missing key is not an error); otherwise PostfixDatabaseError.
    static void removeRecord(const std::string& table, const std::string& key);
    template <class Iterator>
    static void removeRecords(const std::string& table, Iterator first, Iterator last);

    // Whether any of the tables has a record with `key`, in one postmap run
    // ("-q"). Throws PostfixDatabaseError when postmap fails.
    static bool hasKey(const std::vector<std::string>& tables, const std::string& key);

    // Rebuilds the table from its records as `filter` (called once per
    // record line, which it may rewrite) keeps them. The dump is filtered as
    // it arrives; the lock by name is held for the whole cycle.
    template <class Filter>
    static void filterRecords(const std::string& table, const Filter& filter) {
        filterRecordLines({table}, LineFilter(filter));
    }
    // The same for several tables, whose dumps run side by side. Each is
    // renamed into place, in the order given, once every dump has ended;
    // when one fails, none has changed.
    template <class Filter>
    static void filterRecords(const std::vector<std::string>& tables, const Filter& filter) {
        filterRecordLines(tables, LineFilter(filter));
    }

    // Producers of postmap's standard input: append the text form of the
    // record at `current` ("key value\n"), or the key and a line feed, and
    // advance; answer whether records remain.
    template <class Iterator>
    static bool formRecord(std::vector<char>& buffer, Iterator& current, Iterator last) {
        buffer.insert(buffer.end(), current->first.begin(), current->first.end());
        buffer.push_back(' ');
        buffer.insert(buffer.end(), current->second.begin(), current->second.end());
        buffer.push_back('\n');
        return ++current != last;
    }
    template <class Iterator>
    static bool printKey(std::vector<char>& buffer, Iterator& current, Iterator last) {
        buffer.insert(buffer.end(), current->begin(), current->end());
        buffer.push_back('\n');
        return ++current != last;
    }

    // The file path of a map name: what follows its first ":", or the whole
    // name when it holds none.
    static std::string tablePath(const std::string& table);

  private:
    using LineFilter = boost::function<bool(std::string&)>;
    class Rewrite;
    static void filterRecordLines(const std::vector<std::string>& tables, const LineFilter& filter);
};

// The changes of one manager operation. With `immediate`, each change is
// applied when given; otherwise commit() applies them, one postmap run per
// table. With `incremental`, additions are added to the tables; otherwise
// each table is rebuilt from exactly the records given for it.
class BatchDatabaseHelper {
  public:
    explicit BatchDatabaseHelper(bool incremental = true, bool immediate = true)
        : incremental_(incremental), immediate_(immediate) {}
    BatchDatabaseHelper(const BatchDatabaseHelper&) = delete;
    BatchDatabaseHelper& operator=(const BatchDatabaseHelper&) = delete;
    // Whatever is still pending is discarded.
    ~BatchDatabaseHelper() = default;

    void addChange(const std::string& table, const std::string& key, const std::string& value);
    template <class Iterator>
    void addChanges(const std::string& table, Iterator first, Iterator last);
    template <class Iterator>
    void removeChanges(const std::string& table, Iterator first, Iterator last);
    // Applies the pending additions, then the pending removals, table by
    // table in name order. A table leaves the pending set once applied; on
    // an exception the tables not yet applied stay pending.
    void commit();

    bool incremental() const { return incremental_; }
    bool immediate() const { return immediate_; }
    const std::map<std::string, RecordList>& pendingAdditions() const { return pendingAdditions_; }
    const std::map<std::string, KeyList>& pendingRemovals() const { return pendingRemovals_; }

  private:
    bool incremental_;
    bool immediate_;
    std::map<std::string, RecordList> pendingAdditions_;
    std::map<std::string, KeyList> pendingRemovals_;
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
