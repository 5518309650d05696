// Element filters for domain removal and renaming in lookup-table records.
#include "postfix/record_filters.h"

namespace marun {
namespace mail {
namespace postfix {
namespace database {

namespace {

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The character just before a trailing `tail` of `text` (which must end
// with it and be longer).
char charBefore(const std::string& text, const std::string& tail) {
    return text[text.size() - tail.size() - 1];
}

}  // namespace

bool ReplaceElementFilterRef::operator()(std::string& element) const {
    if (element == from_) {
        element = to_;
    } else if (element.size() == from_.size() + 1 && element.back() == '/' &&
               element.compare(0, from_.size(), from_) == 0) {
        element = to_ + "/";
    }
    return true;
}

bool NotInDomainFilter::operator()(std::string& element) const {
    if (!endsWith(element, domain_)) {
        return true;
    }
    if (element.size() == domain_.size()) {
        return false;
    }
    char before = charBefore(element, domain_);
    return !(before == '@' || (subdomains_ && before == '.'));
}

bool ReplaceDomainPart::operator()(std::string& element) const {
    if (!endsWith(element, from_)) {
        return true;
    }
    if (element.size() == from_.size()) {
        element = to_;
        return true;
    }
    char before = charBefore(element, from_);
    if (before == '@' || (subdomains_ && before == '.')) {
        element.replace(element.size() - from_.size(), from_.size(), to_);
    }
    return true;
}

bool ReplaceDomainPath::operator()(std::string& element) const {
    if (element.compare(0, from_.size(), from_) == 0) {
        element.replace(0, from_.size(), to_);
    }
    return true;
}

}  // namespace database
}  // namespace postfix
}  // namespace mail
}  // namespace marun
