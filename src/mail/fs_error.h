// FSError: a failed file-system operation on one or two paths of the mail
// tree, carrying a system error code.
#pragma once

#include <boost/filesystem.hpp>
#include <string>

namespace marun {
namespace mail {

class FSError : public boost::filesystem::filesystem_error {
  public:
    FSError(const std::string& message, const boost::filesystem::path& path, int code)
        : filesystem_error(message, path,
                           boost::system::error_code(code, boost::system::system_category())) {}
    FSError(const std::string& message, const boost::filesystem::path& path1,
            const boost::filesystem::path& path2, int code)
        : filesystem_error(message, path1, path2,
                           boost::system::error_code(code, boost::system::system_category())) {}
};

}  // namespace mail
}  // namespace marun
