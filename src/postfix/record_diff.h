// RecordDiff: what a rewrite of a table through a line filter changes, so
// that only that is applied to a copy of the indexed file, with the result
// a full rebuild from the filtered lines would give.
//
// Records are compared as postmap stores them: the key is what precedes the
// first white space, folded to lower case; the value follows the white
// space, with white space at both ends trimmed. A full rebuild keeps the
// first of several lines with one key, in the order of the dump. So, for
// each dumped line in order:
//
// - dropped: its key is deleted;
// - kept as it was: nothing, unless a line before it moved its key onto
//   this one; then it is deleted and added again in its place, and the
//   earlier line wins as it would in a rebuild;
// - kept with another value or another key: the old key is deleted and the
//   new record added.
//
// All deletions are applied first, then the additions in dump order with
// "postmap -i" (without "-r"): of several additions of one key, and of an
// addition of a key that stayed untouched in the table, the first wins,
// as in a rebuild. The moved keys are remembered in a sketch of fixed size
// (a Bloom filter): a false hit only deletes and adds a line unchanged.
// Keys with bytes outside ASCII are folded by postmap beyond what this
// comparison knows; a moved key holding one makes every later untouched
// line count as hit.
//
// Deletions and additions are streamed to anonymous temporary files, so
// memory stays the same however many records change. Failures throw
// PostfixConfigurationError.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/c_handles.h"

namespace marun {
namespace mail {
namespace postfix {

class RecordDiff {
  public:
    // One line of the dump as postmap printed it ("key<TAB>value"), and
    // whether the filter kept it and as what. True when the filter changed
    // the record.
    bool add(const std::string& dumped, bool kept, const std::string& filtered);

    bool empty() const { return !deletions_ && !additions_; }
    // The keys to delete ("key\n" each) and the records to add ("key
    // value\n" each), as descriptors positioned at their start; -1 when
    // there are none.
    int deletions() { return rewound(deletions_); }
    int additions() { return rewound(additions_); }

  private:
    void remove(std::string_view key);
    void insert(std::string_view key, std::string_view value);
    void write(FilePtr& file, std::string_view text);
    int rewound(FilePtr& file);

    // The sketch of moved keys: 2^23 bits, three probes per key, allocated
    // at the first moved key.
    void remember(std::string_view key);
    bool mayHaveMoved(std::string_view key) const;

    FilePtr deletions_;
    FilePtr additions_;
    std::vector<uint64_t> moved_;
    bool movedBeyondAscii_ = false;
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
