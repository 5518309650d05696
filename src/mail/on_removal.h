// OnRemoval: what removing a domain or a mail name does with its mail
// directories.
#pragma once

namespace marun {
namespace mail {

// 1 deletes the directory tree, 2 moves it aside as a backup; any other
// value leaves the files where they are. The underlying type is fixed so
// that every int value is a valid OnRemoval.
enum OnRemoval : int {
    ON_REMOVAL_KEEP = 0,
    ON_REMOVAL_DELETE = 1,
    ON_REMOVAL_BACKUP = 2,
};

}  // namespace mail
}  // namespace marun
