// MainCfManager: the only way kvarn reads or changes main.cf. Every read and
// every write is one run of Postfix's own postconf, so Postfix's syntax
// rules (comments, continuation lines, expansion, defaults) stay Postfix's.
//
// Writes hold the lock by name on the main.cf path. A read-modify-write of a
// list (appendStringValue, removeListElement, filterStringValues) holds that
// one lock from its read to its write, so concurrent runs lose nothing; a
// caller that edits a list itself takes lock() and passes it to getList and
// setList.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "util/mklock.h"

namespace marun {
namespace mail {
namespace postfix {

class MainCfManager {
  public:
    using List = std::deque<std::string>;

    // The held lock on main.cf; the write operations that take one run
    // under it instead of locking again (a second flock on another
    // descriptor would wait for this one).
    class [[nodiscard]] Lock {
      private:
        friend class MainCfManager;
        explicit Lock(const std::string& path) : lock_(path) {}
        MKLock lock_;
    };

    static MainCfManager& getInstance();

    MainCfManager() = default;
    MainCfManager(const MainCfManager&) = delete;
    MainCfManager& operator=(const MainCfManager&) = delete;

    // The config_directory that postconf reports (its built-in default when
    // main.cf cannot be read), asked once, when first needed: a run that only
    // reads parameters never asks.
    const std::string& configDirectory() const;
    // configDirectory() + "/main.cf": the name of the lock.
    const std::string& path() const;

    // Waits for the lock on main.cf.
    Lock lock() const { return Lock(path()); }

    // The effective value (the built-in default with `useDefault`), trimmed.
    // PostfixConfigurationError with postconf's diagnostics when it fails.
    std::string getStringValue(const std::string& name, bool useDefault) const;

    // Sets the parameter with "postconf -e name=value". A name that is not a
    // parameter name, or a value holding a line feed or carriage return, is
    // refused (PostfixConfigurationError) before anything runs.
    void replaceStringValue(const std::string& name, const std::string& value) const;
    void replaceStringValue(const std::string& name, const std::string& value,
                            const Lock& held) const;

    // Appends the elements of the value, split at every space, tab or
    // comma; empty elements included.
    void getList(const std::string& name, List& out) const;
    // Writes the elements joined with ", ".
    void setList(const std::string& name, const List& list) const;
    void setList(const std::string& name, const List& list, const Lock& held) const;

    // Adds the element unless present; for "mynetworks" a present element
    // writes the effective value back unchanged.
    void appendStringValue(const std::string& name, const std::string& element) const;
    // Drops every element equal to `element`; writes only when one was.
    void removeListElement(const std::string& name, const std::string& element) const;

    // Rebuilds the value: the filter's fixed elements, then the current
    // comma-separated elements (trimmed, non-empty) the filter keeps. The
    // filter offers `const std::deque<std::string>& fixedElements() const`
    // and `bool operator()(const std::string& element) const`.
    template <class Filter>
    void filterStringValues(const std::string& name, const Filter& filter) const {
        Lock held = lock();
        List result(filter.fixedElements().begin(), filter.fixedElements().end());
        for (const std::string& element : commaElements(getStringValue(name, false))) {
            if (filter(element)) {
                result.push_back(element);
            }
        }
        setList(name, result, held);
    }

    // Trimmed, non-empty pieces between commas (blanks inside a piece stay).
    static List commaElements(const std::string& value);

  private:
    mutable std::string configDirectory_;
    mutable std::string path_;
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
