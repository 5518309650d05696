// Attachment commands: each parses its options, turns the domain into its
// checked ASCII form and checks the mail name, then calls one attachment
// function; a non-zero result gives exit status 1. Nothing here touches
// Postfix, the lookup tables or the authentication database.
#include "commands/attachment_commands.h"

#include <ostream>
#include <string>

#include "commands/shared_options.h"
#include "mail/lib/attachments.h"
#include "util/uerr.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace {

const char ATTACHMENT_NAME_OPTION[] = "attachment-file-name";

int status(int result) {
    return result != 0 ? 1 : 0;
}

}  // namespace

int listAttachments(int argc, char** argv) {
    ProgramOptionsHelper helper("list attachments",
                                "--list-attachments [--in-blocks] [--fullname] "
                                "--domain-name=<domain_name> (--mailname=<mail_name>|--mail-all)");
    helper.add_options()("in-blocks", "report in blocks rather than bytes (false by default)")(
        "fullname", "report full attachment paths (false by default)");
    addDomainNameOption(helper);
    helper.add_options()("mail-all", "report attachments for all mailnames (false by default)")(
        "mailname", po::value<std::string>(), "mailname");
    standardOptionsParse(helper, argc, argv);
    const std::string domain = domainNameOption(helper);
    const int inBlocks = helper.has("in-blocks") ? 1 : 0;
    const int fullname = helper.has("fullname") ? 1 : 0;

    if (!helper.has("mail-all")) {
        if (!helper.has("mailname")) {
            uerr << "neither --mailname nor --mail-all are specified" << std::endl;
            helper.usage(1, uerr);
        }
        return status(
            list_attachments(mailnameOption(helper).c_str(), domain.c_str(), inBlocks, fullname));
    }
    if (helper.has("mailname")) {
        uerr << "you should not use --mailname and --mail-all together" << std::endl;
        helper.usage(1, uerr);
    }
    return status(list_all_attachments(domain.c_str(), inBlocks, fullname));
}

int addAttachment(int argc, char** argv) {
    ProgramOptionsHelper helper("add an attachment",
                                "--add-attachment --domain-name=<domain_name> "
                                "--mailname=<mail_name> --file-name=<full_file_name> "
                                "--attachment-file-name=<attachment_file_name>");
    addDomainNameOption(helper);
    addMailnameOption(helper);
    helper.add_options()("file-name", po::value<std::string>(), "uploaded file name", true)(
        ATTACHMENT_NAME_OPTION, po::value<std::string>(), "attachment file name", true);
    standardOptionsParse(helper, argc, argv);
    const std::string domain = domainNameOption(helper);
    return status(add_attachment(mailnameOption(helper).c_str(), domain.c_str(),
                                 helper.get<std::string>("file-name").c_str(),
                                 helper.get<std::string>(ATTACHMENT_NAME_OPTION).c_str()));
}

int removeAttachment(int argc, char** argv) {
    ProgramOptionsHelper helper("remove an attachment",
                                "--remove-attachment --domain-name=<domain_name> "
                                "--mailname=<mail_name> "
                                "--attachment-file-name=<attachment_file_name>");
    addDomainNameOption(helper);
    addMailnameOption(helper);
    helper.add_options()(ATTACHMENT_NAME_OPTION, po::value<std::string>(), "attachment file name",
                         true);
    standardOptionsParse(helper, argc, argv);
    const std::string domain = domainNameOption(helper);
    return status(remove_attachment(mailnameOption(helper).c_str(), domain.c_str(),
                                    helper.get<std::string>(ATTACHMENT_NAME_OPTION).c_str()));
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
