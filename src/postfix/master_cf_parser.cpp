// MasterCfParser: the grammar of master.cf-format files on Boost.Spirit
// classic, turning the text into MasterCfContent lines and entries.
//
//   file     := line { "\n" line } [ "\n" ]
//   line     := entry | comment | blanks           (tried in this order)
//   blank    := "\t" | " " | "\r"
//   comment  := blanks "#" { any byte but "\n" }
//   entry    := name SEP type SEP flag SEP flag SEP flag SEP wakeup SEP
//               maxproc SEP word { SEP word } blanks
//   name     := 1* of "a"-"z" "0"-"9" "-" "_" ":" "."
//   type     := "inet" | "unix-dgram" | "unix" | "fifo" | "pass"
//   flag     := "y" | "n" | "-"
//   wakeup   := "-" | digits [ "?" ]
//   maxproc  := "-" | digits
//   word     := 1* printable ASCII but "#" and " "
//   SEP      := blanks [ "#" comment text ]
//               [ "\n" { blanks [ comment ] "\n" } 1*blank ]
//
// An entry goes on over following lines that begin with a blank, with blank
// and comment lines allowed in between; a comment may end a physical line of
// an entry only where the entry continues. SEP must consume at least one
// byte: "-smtpd" is not a process limit followed by a command.
//
// Semantic actions fire while alternatives are still being tried, so the
// name and type are only noted; an entry reaches the content when the whole
// entry rule has matched, and a rule that matched is never undone unless
// the whole parse fails.
#include <boost/spirit/include/classic_chset.hpp>
#include <boost/spirit/include/classic_core.hpp>

#include "postfix/master_cf_content.h"

namespace marun {
namespace mail {
namespace postfix {

namespace {

namespace sp = boost::spirit::classic;

using Iterator = const char*;

class MasterCfParser {
  public:
    explicit MasterCfParser(MasterCfContent& content) : content_(content) {
        using sp::ch_p;
        using sp::str_p;
        auto addEntry = [this](Iterator first, Iterator last) {
            ModuleInfo info;
            info.name = name_text_;
            info.type = type_;
            content_.addModule(info, std::string(first, last));
        };
        auto addLine = [this](Iterator first, Iterator last) {
            content_.addLine(std::string(first, last));
        };
        auto addBlankLine = [this](Iterator first, Iterator last) {
            if (first != last || last != end_) {
                content_.addLine(std::string(first, last));
            }
        };

        // Character classes are bit sets: one lookup per byte.
        const sp::chset<char> blank("\t \r");
        const sp::chset<char> nameChar("a-z0-9_:.-");
        const sp::chset<char> flag("yn-");
        const sp::chset<char> wordChar = sp::chset<char>("!-~") - sp::chset<char>('#');
        const sp::chset<char> commentChar = sp::chset<char>(sp::anychar_p) - sp::chset<char>('\n');

        blanks_ = *blank;
        commentText_ = ch_p('#') >> *commentChar;
        continuation_ = ch_p('\n') >> *(blanks_ >> !commentText_ >> ch_p('\n')) >> +blank;
        sep_ = (+blank >> !commentText_ >> !continuation_) | (commentText_ >> !continuation_) |
               continuation_;

        name_ = (+nameChar)[sp::assign_a(name_text_)];
        typeWord_ = str_p("inet")[sp::assign_a(type_, inet_)] |
                    str_p("unix-dgram")[sp::assign_a(type_, unix_dgram_)] |
                    str_p("unix")[sp::assign_a(type_, unix_)] |
                    str_p("fifo")[sp::assign_a(type_, fifo_)] |
                    str_p("pass")[sp::assign_a(type_, pass_)];
        wakeup_ = ch_p('-') | (+sp::digit_p >> !ch_p('?'));
        maxproc_ = ch_p('-') | +sp::digit_p;
        entry_ = (name_ >> sep_ >> typeWord_ >> sep_ >> flag >> sep_ >> flag >> sep_ >> flag >>
                  sep_ >> wakeup_ >> sep_ >> maxproc_ >> sep_ >> +wordChar >>
                  *(sep_ >> +wordChar) >> blanks_)[addEntry];
        comment_ = (blanks_ >> commentText_)[addLine];
        // The kleene star below also matches the empty line after a final
        // line feed, and an empty file as one empty line: neither is a line
        // of the file.
        blankLine_ = blanks_[addBlankLine];
        line_ = entry_ | comment_ | blankLine_;
        file_ = line_ >> *(ch_p('\n') >> line_) >> !ch_p('\n');
    }

    bool parse(Iterator first, Iterator last) {
        end_ = last;
        return sp::parse(first, last, file_ >> sp::end_p).full;
    }

  private:
    MasterCfContent& content_;
    Iterator end_ = nullptr;
    std::string name_text_;
    ModuleType type_ = MODULE_INET;
    const ModuleType inet_ = MODULE_INET;
    const ModuleType unix_ = MODULE_UNIX;
    const ModuleType fifo_ = MODULE_FIFO;
    const ModuleType unix_dgram_ = MODULE_UNIX_DGRAM;
    const ModuleType pass_ = MODULE_PASS;

    sp::rule<> blanks_, commentText_, continuation_, sep_, name_, typeWord_, wakeup_, maxproc_,
        entry_, comment_, blankLine_, line_, file_;
};

}  // namespace

bool parseMasterCf(const char* first, const char* last, MasterCfContent& content) {
    MasterCfParser parser(content);
    return parser.parse(first, last);
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
