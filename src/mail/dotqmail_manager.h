// DotQMailManager: the ".qmail" delivery file of one mail name's home, over
// the mail library's ".qmail" editing functions.
#pragma once

#include <boost/filesystem/path.hpp>
#include <string>

namespace marun {
namespace mail {

class DotQMailManager {
  public:
    // Where a forward would go; accepted for the callers' sake, but forwards
    // are always appended at the end.
    enum Position { AT_BEGIN = 0, AT_END = 1, ANYWHERE = 2 };

    // Bound to `home` / ".qmail".
    explicit DotQMailManager(const boost::filesystem::path& home);

    // Each returns 0, or throws SystemError "unable to modify <path>".
    int reset();
    int enableDelivery();
    int disableDelivery();
    int addRedirect(const std::string& address, Position position = ANYWHERE);
    int removeRedirect(const std::string& address);

    const std::string& path() const { return path_; }

  private:
    int check(int result) const;

    std::string path_;
};

}  // namespace mail
}  // namespace marun
