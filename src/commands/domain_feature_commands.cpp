// Domain feature commands. Each parses its options and checks every name,
// address and phrase it was given before anything changes; the alias
// commands then keep four things in step, in this order: the lookup tables
// (domain manager), the mail handlers, the DomainKeys key and the mail
// authentication records. Handler and key failures are warnings; the exit
// status comes from the authentication step and the action for mail to
// unknown names.
//
// Every step can be run again: a panel that lost its answer runs the same
// command once more, and the retry finishes the change (records are added
// if missing and removed if present, handler rows and keys copied again,
// authentication rows replaced).
#include "commands/domain_feature_commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "commands/name_checks.h"
#include "commands/shared_options.h"
#include "lib/log.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"
#include "lib/utf8.h"
#include "mail/lib/domainkeys.h"
#include "mail/lib/mail_handlers.h"
#include "mail/lib/mail_panel_queries.h"
#include "postfix/domain_manager.h"
#include "postfix/rewrite_service.h"
#include "util/uerr.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace {

// A comma-separated list of domain names with each item in its checked
// ASCII form; empty items (doubled or trailing commas) are skipped. An item
// that could address something outside its key directory is refused with
// the whole list, and so is a list without any name.
std::string asciiDomainList(const std::string& given) {
    std::string list;
    std::string::size_type begin = 0;
    while (begin <= given.size()) {
        std::string::size_type end = given.find(',', begin);
        if (end == std::string::npos) {
            end = given.size();
        }
        if (end > begin) {
            list += (list.empty() ? "" : ",") + asciiDomainName(given.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    if (list.empty()) {
        throw std::invalid_argument("invalid domain name list '" + given + "': it names no domain");
    }
    return list;
}

// The checked ASCII form of a domain or alias name option.
std::string domainOption(const ProgramOptionsHelper& options, const char* name) {
    return asciiDomainName(options.get<std::string>(name));
}

void addAliasOption(ProgramOptionsHelper& options, const char* name, const char* text) {
    options.add_options()(name, po::value<std::string>(), text, true);
}

// The options that say what becomes of mail for unknown names of an alias.
void formNotexistingMailOptions(ProgramOptionsHelper& options) {
    options.add_options()("set-catchall", "set a domain catchall address")(
        "email", po::value<std::string>(), "domain alias name")(
        "set-bounce", "set a domain bounce")("phrase", po::value<std::string>(), "phrase")(
        "set-reject", "set domain reject flag");
}

// A bounce phrase must fit one record of "aliases": its line feeds become
// spaces, but bytes that are not UTF-8 would make postmap skip the record.
std::string phraseOption(const ProgramOptionsHelper& options) {
    if (!options.has("phrase")) {
        return "";
    }
    const std::string& phrase = options.get<std::string>("phrase");
    if (!utf8_valid(phrase)) {
        throw std::invalid_argument("invalid phrase: it is not valid UTF-8");
    }
    return phrase;
}

// What the nonexistent-mail options hold, checked before anything changes.
// A missing --email with --set-catchall is not refused here: the alias is
// made first, and the missing option is reported then.
struct NotexistingMail {
    explicit NotexistingMail(const ProgramOptionsHelper& options)
        : bounce(options.has("set-bounce")),
          catchall(options.has("set-catchall")),
          reject(options.has("set-reject")),
          hasEmail(options.has("email")),
          email(hasEmail ? asciiAddress(options.get<std::string>("email")) : ""),
          phrase(phraseOption(options)) {}

    bool bounce;
    bool catchall;
    bool reject;
    bool hasEmail;
    std::string email;
    std::string phrase;
};

// Applies the action for mail to unknown names of the alias: a bounce comes
// before a catch-all; with --set-reject nothing is to be written (an alias
// without either rejects such mail). 1 when no action was given.
int processNotexistingMailnamesOptions(const NotexistingMail& action, const std::string& alias) {
    BatchDatabaseHelper batch(true, true);
    if (action.bounce) {
        DomainManager::setBounceFor(batch, {alias}, action.phrase);
        return 0;
    }
    if (action.catchall) {
        if (!action.hasEmail) {
            throw MissingMandatoryOption("email");
        }
        DomainManager::createCatchallFor(batch, {alias}, action.email);
        return 0;
    }
    if (action.reject) {
        return 0;
    }
    marun_log(3,
              "Action for notexisting mail names is not specified "
              "(--set-bounce/--set-catchall/--set-reject)");
    return 1;
}

// Deletes the uploaded key once it is installed: only a regular file, never
// what a link points to.
void removeUploadedKey(const std::string& path) {
    std::string name;
    UniqueFd dir(walk_open_parent(path.c_str(), &name));
    struct stat st;
    if (dir.valid() && fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode)) {
            errno = EBADFD;
        } else if (unlinkat(dir.get(), name.c_str(), 0) == 0) {
            return;
        }
    }
    uerr << "WARNING: cannot remove the uploaded key file " << path << ": " << walk_strerror(errno)
         << std::endl;
}

}  // namespace

int setDomainKey(int argc, char** argv) {
    ProgramOptionsHelper options(
        "set DomainKey",
        "--set-domain-key --domain-name=<domain,domain,... > --file-name=<full_file_name>");
    addDomainNameOption(options);
    options.add_options()("file-name", po::value<std::string>(), "full path to uploaded key", true);
    standardOptionsParse(options, argc, argv);
    const std::string domains = asciiDomainList(options.get<std::string>("domain-name"));
    const std::string& file = options.get<std::string>("file-name");

    const int result = set_domain_key(domains.c_str(), file.c_str());
    if (result == 0) {
        removeUploadedKey(file);
    }
    return result == -1 ? 1 : 0;
}

int removeDomainKey(int argc, char** argv) {
    ProgramOptionsHelper options("remove DomainKey",
                                 "--remove-domain-key --domain-name=<domain,domain,...>");
    addDomainNameOption(options);
    standardOptionsParse(options, argc, argv);
    const std::string domains = asciiDomainList(options.get<std::string>("domain-name"));
    return remove_domain_key(domains.c_str()) == -1 ? 1 : 0;
}

int addDomainAlias(int argc, char** argv) {
    ProgramOptionsHelper options(
        "add a domain alias",
        "--add-domain-alias --domain-name=<domain_name> --domain-alias-name=<domain_alias_name> "
        "<--set-bounce 'text'| --set-catchall 'email' | --set-reject>");
    addDomainNameOption(options);
    addAliasOption(options, "domain-alias-name", "domain alias name");
    formNotexistingMailOptions(options);
    standardOptionsParse(options, argc, argv);
    const std::string domain = domainNameOption(options);
    const std::string alias = domainOption(options, "domain-alias-name");
    const NotexistingMail action(options);

    ServedDomainsChange served;
    DomainManager::createDomainAlias(domain, alias);
    if (mh_db_clone(nullptr, nullptr, domain.c_str(), nullptr, alias.c_str()) < 0) {
        uerr << "WARNING: unable to clone all mail handlers for " << alias << std::endl;
    }
    if (clone_domain_key(domain.c_str(), alias.c_str()) != 0) {
        uerr << "WARNING: cannot clone domain key for " << alias << std::endl;
    }
    if (add_domain_auth_alias(domain.c_str(), alias.c_str()) == -1) {
        return 1;
    }
    return processNotexistingMailnamesOptions(action, alias);
}

int removeDomainAlias(int argc, char** argv) {
    ProgramOptionsHelper options(
        "remove a domain alias",
        "--del-domain-alias --domain-name=<domain_name> --domain-alias-name=<domain_alias_name>");
    addDomainNameOption(options);
    addAliasOption(options, "domain-alias-name", "domain alias name");
    standardOptionsParse(options, argc, argv);
    domainNameOption(options);
    const std::string alias = domainOption(options, "domain-alias-name");

    ServedDomainsChange served;
    DomainManager::removeDomainAlias(alias);
    int handlers = mh_db_remove_name(nullptr, alias.c_str());
    if (handlers >= 0) {
        handlers = mh_db_remove_addr(nullptr, alias.c_str());
    }
    if (handlers < 0) {
        uerr << "WARNING: unable to properly remove mail handlers for " << alias << std::endl;
    }
    remove_domain_key(alias.c_str());
    // -1 shows as 255.
    return rm_domain_auth_alias(alias.c_str());
}

int renameDomainAlias(int argc, char** argv) {
    ProgramOptionsHelper options(
        "rename a given domain alias",
        "--rename-domain-alias --domain-name=<domain_name> "
        "--old-domain-alias-name=<old_domain_alias_name> "
        "--new-domain-alias-name=<new_domain_alias_name> <--set-bounce 'text'| --set-catchall "
        "'email' | --set-reject>");
    addDomainNameOption(options);
    addAliasOption(options, "old-domain-alias-name", "old domain alias name");
    addAliasOption(options, "new-domain-alias-name", "new domain alias name");
    formNotexistingMailOptions(options);
    standardOptionsParse(options, argc, argv);
    const std::string domain = domainNameOption(options);
    const std::string oldAlias = domainOption(options, "old-domain-alias-name");
    const std::string newAlias = domainOption(options, "new-domain-alias-name");
    const NotexistingMail action(options);

    ServedDomainsChange served;
    DomainManager::renameDomainAlias(oldAlias, newAlias);
    if (mh_db_clone(nullptr, nullptr, oldAlias.c_str(), nullptr, newAlias.c_str()) < 0 ||
        mh_db_remove_name(nullptr, oldAlias.c_str()) < 0 ||
        mh_db_remove_addr(nullptr, oldAlias.c_str()) < 0) {
        uerr << "WARNING: unable to properly re-assign mail handlers from " << oldAlias << " to "
             << newAlias << std::endl;
    }
    if (clone_domain_key(oldAlias.c_str(), newAlias.c_str()) != 0) {
        uerr << "WARNING: cannot create domainkey for " << newAlias << '\n';
    }
    remove_domain_key(oldAlias.c_str());
    if (add_domain_auth_alias(domain.c_str(), newAlias.c_str()) == -1 ||
        rm_domain_auth_alias(oldAlias.c_str()) == -1) {
        return 1;
    }
    return processNotexistingMailnamesOptions(action, newAlias);
}

int setCatchAll(int argc, char** argv) {
    ProgramOptionsHelper options(
        "set a domain catchall address",
        "--set-catchall --domain-name=<domain_name> --email=<email_address>");
    addDomainNameOption(options);
    options.add_options()("email", po::value<std::string>(), "catchall e-mail address", true);
    standardOptionsParse(options, argc, argv);
    const std::string domain = domainNameOption(options);
    const std::string email = asciiAddress(options.get<std::string>("email"));
    DomainManager::createCatchall(domain, email);
    return 0;
}

int setBounce(int argc, char** argv) {
    ProgramOptionsHelper options("set a domain bounce",
                                 "--set-bounce --domain-name=<domain_name> [--phrase=<phrase>]");
    addDomainNameOption(options);
    options.add_options()("phrase", po::value<std::string>(), "phrase");
    standardOptionsParse(options, argc, argv);
    const std::string domain = domainNameOption(options);
    DomainManager::setBounce(domain, phraseOption(options));
    return 0;
}

namespace {

// --set-reject and --unset-reject do the same: a domain rejects mail for
// unknown names when it has neither a catch-all nor a bounce.
int rejectCommand(int argc, char** argv, const char* description, const char* synopsis) {
    ProgramOptionsHelper options(description, synopsis);
    addDomainNameOption(options);
    standardOptionsParse(options, argc, argv);
    DomainManager::removeCatchall(domainNameOption(options));
    return 0;
}

}  // namespace

int setReject(int argc, char** argv) {
    return rejectCommand(argc, argv, "set domain reject flag",
                         "--set-reject --domain-name=<domain-name>");
}

int removeReject(int argc, char** argv) {
    return rejectCommand(argc, argv, "remove domain reject flag",
                         "--unset-reject --domain-name=<domain-name>");
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
