// The files of one lookup table while kvarn writes it. Every writer, in
// place or by a rewrite, holds a TableFiles for the whole change:
//
// - It takes the table's lock by name, so that no run's rewritten file is
//   renamed over another run's change, and removes the leftovers of killed
//   runs: files beside the table whose names carry kvarn's mark
//   ("<table>.kvarn.<pid>" and what postmap builds from it). Only a holder
//   of the lock ever creates such names, so under it every one is stale.
//   The same sweep runs again when the TableFiles ends, whatever happened.
// - It opens the indexed file ("<path>.db") through the no-follow walker
//   and refuses anything but a regular file. The table directory belongs to
//   postfix: a link or a FIFO planted there would otherwise make root's
//   postmap write elsewhere, or hang it.
// - After an in-place change (postmap -i, -d) it moves the file's
//   modification time on to a later second than before the change when
//   postmap left it in the same one. A running Postfix notices a changed
//   table by that time in whole seconds; two changes within one second
//   would leave the second unseen until its daemons restart.
// - A rewrite builds the new indexed file under the temporary name, as a
//   copy of the current one or from a text source, gives it the old file's
//   owner and mode, and renames it into place with the one safe file writer
//   (fsync of the file and of the directory): readers and a crash see the
//   old table or the new one, never a part.
//
// Failures go to the `fail` function given at construction, which throws
// the error type of the operation.
#pragma once

#include <sys/stat.h>

#include <string>

#include "lib/atomic_file.h"
#include "lib/unique_fd.h"
#include "util/mklock.h"

namespace marun {
namespace mail {
namespace postfix {

class TableFiles {
  public:
    using Failure = void (*)(const std::string& message);

    // `table` is a map name ("hash:/var/spool/postfix/marun/virtual").
    TableFiles(const std::string& table, Failure fail);
    ~TableFiles();
    TableFiles(const TableFiles&) = delete;
    TableFiles& operator=(const TableFiles&) = delete;

    // Whether the indexed file exists (postmap creates a missing one).
    bool hasIndexed() const { return indexed_.valid(); }

    // The map name and the text-source path of this run's temporary table.
    std::string temporaryMap() const;
    std::string temporarySource() const;

    // After postmap changed the indexed file in place.
    void changedInPlace();

    // Starts `copy` as a copy of the indexed file, which must still be the
    // file opened at construction, with its owner and mode.
    void copyIndexed(AtomicFile& copy);
    // Takes on the indexed file that postmap built from the temporary
    // source, with the old file's owner and mode when there was one.
    void adoptBuilt(AtomicFile& built);
    // Renames the new indexed file into place.
    void commit(AtomicFile& file);

  private:
    void sweep() const;
    std::string temporaryName() const;
    void takeOwnerAndMode(AtomicFile& file);
    [[noreturn]] void failed(const std::string& what, int error) const;

    const std::string table_;
    const Failure fail_;
    const std::string path_;
    MKLock lock_;
    std::string name_;  // of the table in its directory
    std::string type_;  // the map type with its ":", or ""
    UniqueFd dir_;
    UniqueFd indexed_;
    struct stat status_ {};
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
