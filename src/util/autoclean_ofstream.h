// AutocleanOFStream: an output file stream on a file it creates fresh and
// deletes when it is destroyed, whether or not the work that wrote it
// succeeded. The file lies in a directory another user may write (the
// table directory belongs to postfix): it is reached through the no-follow
// walker, whatever stood at its name is removed and the file is created
// with O_EXCL, so a link planted there cannot make root write elsewhere.
#pragma once

#include <ext/stdio_filebuf.h>

#include <memory>
#include <ostream>
#include <string>

#include "lib/unique_fd.h"

namespace marun {

class AutocleanOFStream : public std::ostream {
  public:
    // On failure the stream is bad and errno says why.
    explicit AutocleanOFStream(const std::string& fileName);
    // Closes the stream and unlinks the file; errno is left as it was.
    ~AutocleanOFStream() override;

    // Flushes and closes the file; the stream is bad when that failed.
    void close();
    const std::string& fileName() const { return fileName_; }

  private:
    std::string fileName_;
    UniqueFd dir_;
    std::string name_;
    std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buffer_;
};

}  // namespace marun
