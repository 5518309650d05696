// Record filters over any table dump, cut into any chunks: the cuts change
// nothing, a removal leaves no element in the domain, every filter's output lines are records again
// (key, one space, value) that the same filter keeps unchanged, and the
// Postfix diagnostics check takes any text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "postfix/database_helper.h"
#include "postfix/record_filters.h"

namespace {

using namespace marun::mail::postfix::database;

// Feeds `dump` to `filter` in chunks of the sizes `input` picks (the rest
// in one, once it has no more to say).
template <class LineFilter>
std::string run(const LineFilter& filter, const std::string& dump, FuzzedDataProvider* input) {
    std::ostringstream out;
    DataStreamFilter<LineFilter> stream(filter, out);
    std::vector<char> chunk;
    for (size_t pos = 0; pos < dump.size(); pos += chunk.size()) {
        size_t n = input != nullptr && input->remaining_bytes() > 0
                       ? input->ConsumeIntegralInRange<size_t>(1, 64)
                       : dump.size();
        chunk.assign(dump.begin() + pos, dump.begin() + std::min(dump.size(), pos + n));
        stream.filterChunk(chunk);
    }
    stream.finish();
    return out.str();
}

// Filtering the output again changes nothing.
template <class LineFilter>
void stable(const LineFilter& filter, const std::string& output) {
    if (run(filter, output, nullptr) != output) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string from = input.ConsumeRandomLengthString(32);
    const std::string to = input.ConsumeRandomLengthString(32);
    const bool subdomains = input.ConsumeBool();
    const std::string dump = input.ConsumeRandomLengthString(1024);  // dozens of records
    std::clog.setstate(std::ios::failbit);                           // "invalid key/value" reports

    ElementsFilter<NotInDomainFilter> remove{NotInDomainFilter(from, subdomains)};
    std::string kept = run(remove, dump, &input);
    if (kept != run(remove, dump, nullptr)) {
        std::abort();  // the chunk boundaries changed the result
    }
    stable(remove, kept);
    const NotInDomainFilter notInDomain(from, subdomains);
    std::istringstream lines(kept);
    for (std::string line; std::getline(lines, line);) {
        size_t blank = line.find(' ');
        std::string element = line.substr(0, blank);  // the key, one element
        for (size_t pos = blank; pos <= line.size(); ++pos) {
            if (pos == line.size() || isListSep(line[pos])) {
                std::string copy = element;
                if (!element.empty() && !notInDomain(copy)) {
                    std::abort();
                }
                element.clear();
            } else {
                element += line[pos];
            }
        }
    }
    run(ElementsFilter<ReplaceElementFilterRef>(ReplaceElementFilterRef(from, to)), dump, &input);
    ReplaceDomainPart move(from, to, subdomains);
    run(ElementsFilter<ReplaceDomainPart>(move), dump, &input);
    run(KeyValueFilter<ReplaceDomainPart, ReplaceDomainPath>(move, ReplaceDomainPath(from, to)),
        dump, &input);
    marun::mail::postfix::checkOutput(dump, subdomains);
    return 0;
}
