// Telling a rewrite's changes apart from the records it leaves.
#include "postfix/record_diff.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "postfix/errors.h"

namespace marun {
namespace mail {
namespace postfix {

namespace {

const uint64_t SKETCH_BITS = uint64_t{1} << 23;
const int SKETCH_PROBES = 3;

// postmap's white space; what precedes the first of it in a line is the key.
bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool endsKey(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A line as postmap splits it into key and value.
struct Split {
    explicit Split(const std::string& line) {
        size_t end = 0;
        while (end < line.size() && !endsKey(line[end])) {
            ++end;
        }
        size_t first = end;
        while (first < line.size() && isSpace(line[first])) {
            ++first;
        }
        size_t last = line.size();
        while (last > first && isSpace(line[last - 1])) {
            --last;
        }
        key = std::string_view(line.data(), end);
        value = std::string_view(line.data() + first, last - first);
    }
    std::string_view key;
    std::string_view value;
};

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool beyondAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return true;
        }
    }
    return false;
}

// Whether postmap stores `given` under the key `stored`, which it folded.
bool sameKey(std::string_view given, std::string_view stored) {
    if (given == stored) {
        return true;
    }
    if (given.size() != stored.size()) {
        return false;
    }
    for (size_t i = 0; i < given.size(); ++i) {
        if (lowerAscii(given[i]) != stored[i]) {
            return false;
        }
    }
    return true;
}

uint64_t probe(std::string_view key, int i) {
    uint64_t h = std::hash<std::string_view>()(key);
    uint64_t step = ((h * 0x9E3779B97F4A7C15ULL) >> 17) | 1;
    return (h + static_cast<uint64_t>(i) * step) & (SKETCH_BITS - 1);
}

[[noreturn]] void tempFailure(int error) {
    throw PostfixConfigurationError(std::string("unable to keep the changes of a table rewrite: ") +
                                    std::strerror(error));
}

}  // namespace

bool RecordDiff::add(const std::string& dumped, bool kept, const std::string& filtered) {
    const Split old(dumped);
    if (!kept) {
        remove(old.key);
        return true;
    }
    const Split now(filtered);
    if (sameKey(now.key, old.key)) {
        if (now.value != old.value) {
            remove(old.key);
            insert(old.key, now.value);
            return true;
        }
        if (!moved_.empty() && (movedBeyondAscii_ || mayHaveMoved(old.key))) {
            // Possibly the key of an earlier moved line: the earlier wins.
            remove(old.key);
            insert(old.key, old.value);
        }
        return false;
    }
    remove(old.key);
    std::string folded(now.key);
    for (char& c : folded) {
        c = lowerAscii(c);
    }
    remember(folded);
    movedBeyondAscii_ = movedBeyondAscii_ || beyondAscii(folded);
    insert(folded, now.value);
    return true;
}

void RecordDiff::remove(std::string_view key) {
    write(deletions_, key);
    write(deletions_, "\n");
}

void RecordDiff::insert(std::string_view key, std::string_view value) {
    write(additions_, key);
    write(additions_, " ");
    write(additions_, value);
    write(additions_, "\n");
}

void RecordDiff::write(FilePtr& file, std::string_view text) {
    if (!file) {
        // Anonymous: nothing is left behind, whatever ends the run.
        file.reset(std::tmpfile());
        if (!file) {
            tempFailure(errno);
        }
    }
    if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size()) {
        tempFailure(errno);
    }
}

int RecordDiff::rewound(FilePtr& file) {
    if (!file) {
        return -1;
    }
    if (std::fflush(file.get()) != 0 || lseek(fileno(file.get()), 0, SEEK_SET) != 0) {
        tempFailure(errno);
    }
    return fileno(file.get());
}

void RecordDiff::remember(std::string_view key) {
    if (moved_.empty()) {
        moved_.assign(SKETCH_BITS / 64, 0);
    }
    for (int i = 0; i < SKETCH_PROBES; ++i) {
        uint64_t bit = probe(key, i);
        moved_[bit / 64] |= uint64_t{1} << (bit % 64);
    }
}

bool RecordDiff::mayHaveMoved(std::string_view key) const {
    for (int i = 0; i < SKETCH_PROBES; ++i) {
        uint64_t bit = probe(key, i);
        if ((moved_[bit / 64] & (uint64_t{1} << (bit % 64))) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
