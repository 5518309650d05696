// Record filters: element rules for dropping and renaming domains, the
// key/value and list building blocks, and the chunked line splitter.
#include "postfix/record_filters.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace marun::mail::postfix::database;

// Applies a line filter; returns the rewritten line, or "<dropped>".
template <class Filter>
std::string apply(const Filter& filter, std::string line) {
    return filter(line) ? line : "<dropped>";
}

TEST(ElementsFilterTest, DomainRemovalDropsTheDomainAndItsAddressesOnly) {
    ElementsFilter<NotInDomainFilter> filter(NotInDomainFilter("d.com", false));
    EXPECT_EQ("<dropped>", apply(filter, "@d.com anyone@o.com"));
    EXPECT_EQ("<dropped>", apply(filter, "a@o.com\tb@d.com"));
    EXPECT_EQ("a@o.com c@o.com, e@o.com",
              apply(filter, "a@o.com  b@d.com , c@o.com\t e@o.com  x@d.com "));
    // Look-alikes and subdomains stay unless subdomains are asked for.
    EXPECT_EQ("a@o.com xd.com, d.com.org, a@mail.d.com",
              apply(filter, "a@o.com xd.com d.com.org a@mail.d.com"));
    ElementsFilter<NotInDomainFilter> deep(NotInDomainFilter("d.com", true));
    EXPECT_EQ("a@o.com xd.com", apply(deep, "a@o.com xd.com mail.d.com a@mail.d.com"));
}

TEST(ElementsFilterTest, DomainRenamingRewritesKeyAndEveryElement) {
    const std::string from = "d.com";
    const std::string to = "new.org";
    ElementsFilter<ReplaceDomainPart> filter(ReplaceDomainPart(from, to, false));
    EXPECT_EQ("@new.org a@new.org, b@new.org", apply(filter, "@d.com a@d.com b@d.com"));
    EXPECT_EQ("x@o.com sub.d.com, xd.com, d.com.ru",
              apply(filter, "x@o.com sub.d.com xd.com d.com.ru"));
    // Paths are ReplaceDomainPath's business.
    EXPECT_EQ("new.org d.com/", apply(filter, "d.com d.com/"));

    ElementsFilter<ReplaceDomainPart> deep(ReplaceDomainPart(from, to, true));
    EXPECT_EQ("x@o.com sub.new.org, a@mx.new.org", apply(deep, "x@o.com sub.d.com a@mx.d.com"));
}

TEST(ElementsFilterTest, ExactReplacementKeepsTrailingSlashOnly) {
    const std::string from = "box@d.com";
    const std::string to = "mail@d.com";
    ElementsFilter<ReplaceElementFilterRef> filter(ReplaceElementFilterRef(from, to));
    EXPECT_EQ("mail@d.com mail@d.com/, box@d.com., box@d.comx, xbox@d.com",
              apply(filter, "box@d.com box@d.com/ box@d.com. box@d.comx xbox@d.com"));
}

TEST(KeyValueFilterTest, MailboxRecordsTreatTheValueAsOneElement) {
    const std::string fromDomain = "d.com";
    const std::string toDomain = "e.net";
    const std::string fromPath = "d.com/";
    const std::string toPath = "e.net/";
    KeyValueFilter<ReplaceDomainPart, ReplaceDomainPath> filter(
        ReplaceDomainPart(fromDomain, toDomain, false), ReplaceDomainPath(fromPath, toPath));
    EXPECT_EQ("box@e.net e.net/box/", apply(filter, "box@d.com\td.com/box/"));
    EXPECT_EQ("box@o.com o.com/d.com/", apply(filter, "box@o.com o.com/d.com/"));

    const std::string oldKey = "a@d.com";
    const std::string newKey = "b@d.com";
    const std::string oldValue = "d.com/a";
    const std::string newValue = "d.com/b";
    KeyValueFilter<ReplaceElementFilterRef, ReplaceElementFilterRef> rename(
        ReplaceElementFilterRef(oldKey, newKey), ReplaceElementFilterRef(oldValue, newValue));
    EXPECT_EQ("b@d.com d.com/b/", apply(rename, "a@d.com d.com/a/"));
    // The value is not split: blanks inside it stay as they are.
    EXPECT_EQ("x y  z", apply(rename, "x\ty  z \t"));
}

TEST(KeyValueFilterTest, MalformedLinesAndSeparators) {
    const std::string none = "nothing-matches";
    ElementsFilter<ReplaceElementFilterRef> identity(ReplaceElementFilterRef(none, none));
    EXPECT_EQ("<dropped>", apply(identity, "lonely-key"));
    EXPECT_EQ("<dropped>", apply(identity, "key   "));
    EXPECT_EQ("<dropped>", apply(identity, "key ,, ,"));
    EXPECT_EQ("key a, b, ", apply(identity, "key a,b,"));
    EXPECT_EQ("key a, b", apply(identity, "key ,a b"));
}

// Collects the lines a DataStreamFilter lets through.
struct Recorder {
    std::vector<std::string>* seen;
    bool operator()(std::string& line) const {
        seen->push_back(line);
        if (line.compare(0, 4, "drop") == 0) {
            return false;
        }
        line = "<" + line + ">";
        return true;
    }
};

// Any chunk boundaries give the same result: the record filter fuzz target.
TEST(DataStreamFilterTest, TheLastLineWaitsForFinish) {
    const std::string dump = "k1 v1\ndrop me\n\nlast line";
    std::vector<std::string> seen;
    std::ostringstream out;
    DataStreamFilter<Recorder> filter(Recorder{&seen}, out);
    filter.filterChunk(std::vector<char>(dump.begin(), dump.end()));
    ASSERT_EQ("<k1 v1>\n<>\n", out.str());
    filter.finish();
    filter.finish();  // nothing pending: nothing written
    EXPECT_EQ("<k1 v1>\n<>\n<last line>\n", out.str());
    EXPECT_EQ(4u, seen.size());
}

}  // namespace
