// SettingsManager: the server-wide mail policy the panel controls. The relay
// mode (the recipient restrictions, rebuilt from fixed elements keeping only
// the policy services already there, and the SASL switch), the
// POP-before-SMTP table in mynetworks, the white list of trusted networks
// (mynetworks), the black list of sender domains (a lookup table), the DNS
// block-list checks in smtpd_client_restrictions, and the mailbox size
// limit. main.cf is reached only through MainCfManager, whose lock is held
// from each read to its write; the black list only through the lookup-table
// store. No state: every operation reads what it changes right before.
//
// Values that would become a second element of a main.cf list (white space,
// control characters, commas) are refused before anything changes.
#pragma once

#include <boost/logic/tribool.hpp>
#include <string>
#include <vector>

namespace marun {
namespace mail {
namespace postfix {

class BatchDatabaseHelper;

extern const char* const BLACKLIST_TABLE;  // hash:/var/spool/postfix/marun/blacklists
extern const char* const POPLOCK_TABLE;    // hash:/var/spool/postfix/marun/poplock

class SettingsManager {
  public:
    // Recipient restrictions for an open relay; nothing else changes.
    static void setOpenRelay();
    // `auth` true or false: smtpd_sasl_auth_enable "yes"/"no", then the
    // restrictions for an authenticated or closed relay; indeterminate
    // touches neither. Then the POP-before-SMTP table is added to
    // mynetworks when `popLock` is true, else removed from it.
    static void setAuthRelay(boost::logic::tribool auth, boost::logic::tribool popLock);

    // Appends "address/prefix" ("[address]/prefix" for IPv6) to mynetworks.
    // std::invalid_argument, before any change, for an address inet_pton
    // does not read as IPv4 or IPv6 (IPv6 when it holds ":") and for a
    // prefix over 32 (IPv4) or 128.
    static void addWhiteNetwork(const std::string& address, unsigned short prefixLength);
    // Removes every mynetworks element denoting the same address, whatever
    // its prefix length; a loopback address never removes anything.
    static void removeWhiteNetwork(const std::string& address);

    // The record "domain REJECT" in the black-list table, at once or in the
    // caller's batch.
    static void addBlackDomain(const std::string& domain);
    static void addBlackDomain(BatchDatabaseHelper& batch, const std::string& domain);
    static void removeBlackDomain(const std::string& domain);

    // Replaces the "reject_rbl_client" checks of smtpd_client_restrictions
    // by one per non-empty host, in order; the other elements stay.
    // std::invalid_argument, before any change, for a host holding white
    // space, a control character or a comma.
    static void setRBLHosts(const std::vector<std::string>& hosts);

    // mailbox_size_limit; boost::bad_lexical_cast unless a plain integer.
    static long long getMailboxSizeLimit();
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
