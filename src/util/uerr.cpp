// The `uerr` stream: immediate echo to standard error, copy to standard
// output on flush.
#include "util/uerr.h"

#include <iostream>

namespace marun {

UtilityErrorStreamBuf::~UtilityErrorStreamBuf() {
    sync();
}

UtilityErrorStreamBuf::int_type UtilityErrorStreamBuf::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof())) {
        return traits_type::not_eof(ch);
    }
    char c = traits_type::to_char_type(ch);
    std::cerr.write(&c, 1);
    collected_.push_back(c);
    return ch;
}

std::streamsize UtilityErrorStreamBuf::xsputn(const char* s, std::streamsize n) {
    std::cerr.write(s, n);
    collected_.append(s, static_cast<size_t>(n));
    return n;
}

int UtilityErrorStreamBuf::sync() {
    std::cerr.flush();
    if (!collected_.empty()) {
        std::cout.write(collected_.data(), static_cast<std::streamsize>(collected_.size()));
        collected_.clear();
    }
    std::cout.flush();
    return 0;
}

UtilityErrorStream::UtilityErrorStream() : std::ostream(nullptr) {
    rdbuf(&buf_);
}

// std::cout and std::cerr are usable here: <iostream> in this unit guarantees
// their initialisation before uerr's, and their destruction after it.
UtilityErrorStream uerr;

}  // namespace marun
