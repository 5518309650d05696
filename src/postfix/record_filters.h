// Filters for rewriting lookup-table records line by line: building blocks
// that apply element filters to a record's key and to its value (whole, or
// as a list of elements), the chunked line splitter that feeds a table dump
// through them, and the element filters that drop or rename a domain, an
// address or a path prefix.
#pragma once

#include <cctype>
#include <cstddef>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

namespace marun {
namespace mail {
namespace postfix {
namespace database {

// Blanks separate a record line's key from its value.
inline bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
// List separators inside a value: a comma or white space (what isspace
// answers in the "C" locale, which kvarn never leaves; written out because
// a dump of a million records asks it tens of millions of times).
inline bool isListSep(char c) {
    return c == ',' || c == ' ' || (c >= '\t' && c <= '\r');
}

// A record line: the key filter, then the value filter; the line is
// rewritten as key, one space, value.
template <class KeyFilter, class ValueFilter>
class KeyValueFilter {
  public:
    KeyValueFilter(const KeyFilter& keyFilter, const ValueFilter& valueFilter)
        : keyFilter_(keyFilter), valueFilter_(valueFilter) {}

    // True when the line stays.
    bool operator()(std::string& line) const {
        size_t keyEnd = 0;
        while (keyEnd < line.size() && !isBlank(line[keyEnd])) {
            ++keyEnd;
        }
        if (keyEnd == line.size()) {
            std::clog << "invalid key/value '" << line << "'" << std::endl;
            return false;
        }
        key_.assign(line, 0, keyEnd);
        if (!keyFilter_(key_)) {
            return false;
        }
        size_t valueBegin = keyEnd;
        while (valueBegin < line.size() && isBlank(line[valueBegin])) {
            ++valueBegin;
        }
        if (valueBegin == line.size()) {
            return false;
        }
        size_t valueEnd = line.size();
        while (isBlank(line[valueEnd - 1])) {
            --valueEnd;
        }
        value_.assign(line, valueBegin, valueEnd - valueBegin);
        if (!valueFilter_(value_)) {
            return false;
        }
        line.assign(key_);
        line += ' ';
        line += value_;
        return true;
    }

  private:
    KeyFilter keyFilter_;
    ValueFilter valueFilter_;
    // Scratch space reused from line to line: a table dump has millions.
    mutable std::string key_;
    mutable std::string value_;
};

// A value as a list: runs of separators split it into elements, each goes
// through the element filter, and the kept ones are joined by ", ".
template <class F>
class ValueListFilter {
  public:
    explicit ValueListFilter(const F& elementFilter) : elementFilter_(elementFilter) {}

    // True when at least one element stays; the value is then rewritten.
    bool operator()(std::string& value) const {
        result_.clear();
        size_t pos = 0;
        for (;;) {
            size_t end = pos;
            while (end < value.size() && !isListSep(value[end])) {
                ++end;
            }
            element_.assign(value, pos, end - pos);
            if (elementFilter_(element_)) {
                if (!result_.empty()) {
                    result_ += ", ";
                }
                result_ += element_;
            }
            if (end == value.size()) {
                break;
            }
            pos = end;
            while (pos < value.size() && isListSep(value[pos])) {
                ++pos;
            }
        }
        if (result_.empty()) {
            return false;
        }
        value.swap(result_);
        return true;
    }

  private:
    F elementFilter_;
    // Scratch space reused from value to value.
    mutable std::string element_;
    mutable std::string result_;
};

// One element rule for the key and for every element of the value.
template <class F>
class ElementsFilter : public KeyValueFilter<F, ValueListFilter<F>> {
  public:
    explicit ElementsFilter(const F& filter)
        : KeyValueFilter<F, ValueListFilter<F>>(filter, ValueListFilter<F>(filter)) {}
};

// Splits the chunks of a table dump into lines, passes each through the line
// filter and writes the kept lines, each with a line feed, to `out`.
template <class LineFilter>
class DataStreamFilter {
  public:
    DataStreamFilter(const LineFilter& filter, std::ostream& out) : filter_(filter), out_(out) {}

    void filterChunk(const std::vector<char>& chunk) {
        auto begin = chunk.begin();
        for (auto it = chunk.begin(); it != chunk.end(); ++it) {
            if (*it == '\n') {
                pending_.append(begin, it);
                emit();
                begin = it + 1;
            }
        }
        pending_.append(begin, chunk.end());
    }

    // At the end of the dump: a last line without a line feed goes through
    // the filter too.
    void finish() {
        if (!pending_.empty()) {
            emit();
        }
    }

    const std::string& pending() const { return pending_; }

  private:
    void emit() {
        if (filter_(pending_)) {
            out_.write(pending_.data(), static_cast<std::streamsize>(pending_.size()));
            out_.put('\n');
        }
        pending_.clear();
    }

    LineFilter filter_;
    std::ostream& out_;
    std::string pending_;
};

// An element equal to `from` becomes `to`, and `from` + "/" becomes
// `to` + "/". Keeps every element. Holds references: both strings must
// outlive the filter.
class ReplaceElementFilterRef {
  public:
    ReplaceElementFilterRef(const std::string& from, const std::string& to)
        : from_(from), to_(to) {}
    bool operator()(std::string& element) const;

  private:
    const std::string& from_;
    const std::string& to_;
};

// Drops the domain itself and every address in it ("...@domain"), and with
// `subdomains` also every name under it ("....domain").
class NotInDomainFilter {
  public:
    NotInDomainFilter(const std::string& domain, bool subdomains)
        : domain_(domain), subdomains_(subdomains) {}
    bool operator()(std::string& element) const;

  private:
    std::string domain_;
    bool subdomains_;
};

// Moves the domain itself and addresses in it (with `subdomains`, also names
// under it) from the old domain to the new one. Keeps every element. Holds
// references: both strings must outlive the filter.
class ReplaceDomainPart {
  public:
    ReplaceDomainPart(const std::string& from, const std::string& to, bool subdomains)
        : from_(from), to_(to), subdomains_(subdomains) {}
    bool operator()(std::string& element) const;

  private:
    const std::string& from_;
    const std::string& to_;
    bool subdomains_;
};

// Replaces a leading `from` by `to`. Keeps every element. Holds references:
// both strings must outlive the filter.
class ReplaceDomainPath {
  public:
    ReplaceDomainPath(const std::string& from, const std::string& to) : from_(from), to_(to) {}
    bool operator()(std::string& element) const;

  private:
    const std::string& from_;
    const std::string& to_;
};

}  // namespace database
}  // namespace postfix
}  // namespace mail
}  // namespace marun
