// Deleting a directory tree of the mail store without following links.
#pragma once

#include <boost/filesystem/path.hpp>

namespace marun {
namespace mail {

// Deletes `path` and everything below it. Links are removed, never
// followed, even when one is put in place of a directory while the tree is
// being deleted. A missing path is no error. Throws
// boost::filesystem::filesystem_error on failure.
void removeTree(const boost::filesystem::path& path);

}  // namespace mail
}  // namespace marun
