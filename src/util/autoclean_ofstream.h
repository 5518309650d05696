// AutocleanOFStream: an output file stream that deletes its file when it is
// destroyed, whether or not the work that wrote it succeeded.
#pragma once

#include <fstream>
#include <string>

namespace marun {

class AutocleanOFStream : public std::ofstream {
  public:
    explicit AutocleanOFStream(const std::string& fileName,
                               std::ios_base::openmode mode = std::ios_base::out |
                                                              std::ios_base::trunc);
    // Closes the stream and unlinks the file; errno is left as it was.
    ~AutocleanOFStream() override;

    const std::string& fileName() const { return fileName_; }

  private:
    std::string fileName_;
};

}  // namespace marun
