// Mailbox quotas by domain and mail name: one mailbox's quota (less its
// "@attachments"), its return to the domain default, and default or domain
// quotas spread over the mailboxes that use the default in the panel.
#pragma once

#include "mail/lib/maildirpp_usage.h"

// Sets the quota of one mailbox (negative: unlimited); the size of its
// "@attachments" is taken from the quota first. 1 on success, 0 on failure.
int store_mbox_quota(const char* MailDomain, const char* MailName, sizequota_t quota);

// Gives the mailbox the domain's default mailbox quota: the "mbox_quota"
// limit of the domain's subscription, or of the domain itself. 1 or 0.
int rm_mbox_quota(const char* MailDomain, const char* MailName);

// Stores `quota` for every mailbox of the domain whose own quota in the
// panel database is the default (-1). 1 or 0.
int store_default_mbox_quota(const char* DomainName, sizequota_t quota);
int store_domain_quota(const char* DomainName, sizequota_t quota);

// As above with an unlimited quota.
int rm_default_mbox_quota(const char* DomainName);
int rm_domain_quota(const char* DomainName);
