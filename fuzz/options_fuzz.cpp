// Command-line parsing with the option kinds the commands declare (text,
// 64-bit quota, switch with a short name, repeatable value): any argument
// vector parses or is refused with an option error, and the names it
// yields are checked ones. Vectors that would ask for the help text (which
// ends the process by design) are passed over.
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/program_options_helper.h"
#include "commands/shared_options.h"
#include "fuzz_support.h"
#include "util/idn.h"

namespace {

using namespace marun::mail::postfix::kvarn_commands;

// An option word (up to "=") with an "h" in it: "-h", "--help", "-Dh",
// "---h"... No declared option but help has one.
bool asksForHelp(const std::string& arg) {
    return !arg.empty() && arg[0] == '-' &&
           arg.substr(0, arg.find('=')).find('h') != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvarn_fuzz::quietLogs();
    std::vector<std::string> args = {"--set-mailbox-disk-quota"};
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t pos = 0; pos <= text.size() && args.size() < 16;) {
        size_t end = std::min(text.find('\0', pos), text.size());
        args.push_back(text.substr(pos, end - pos));
        if (asksForHelp(args.back())) {
            return 0;
        }
        pos = end + 1;
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    ProgramOptionsHelper helper("set mailbox quota", "--set-mailbox-disk-quota ...");
    addDomainNameOption(helper);
    addMailnameOption(helper);
    addQuotaOption(helper, false);
    helper.add_options()("mail-domain-disabled,D", "switch")(
        "ip", po::value<std::vector<std::string>>(), "repeatable");
    try {
        helper.parse(static_cast<int>(args.size()), argv.data());
        domainNameOption(helper);
        mailnameOption(helper);
        if (helper.has("disk-quota")) {
            helper.get<long long>("disk-quota");
        }
    } catch (const po::error&) {
    } catch (const std::invalid_argument&) {
    } catch (const marun::idn::IdnaError&) {
    }
    return 0;
}
