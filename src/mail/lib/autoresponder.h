// The autoresponder hook: a mail handler record (before local delivery, for
// one recipient address) that makes the panel's autoresponder program answer
// mail to that address. Setting and resetting a mailbox's autoresponder adds
// and removes the record.
#pragma once

#include <string>
#include <vector>

typedef enum {
    HOOK_ADD = 0,
    HOOK_DELETE = 1,
    HOOK_ENABLE = 2,
    HOOK_DISABLE = 3,
    HOOK_CHECK = 4,
    HOOK_CLONE = 5,
    HOOK_MOVE = 6,
} handler_control_t;

constexpr const char* AUTORESPONDER_HOOK_NAME = "autoresponder";
constexpr const char* AUTORESPONDER_HOOK_EXECUTABLE = "/usr/local/oru/handlers/hooks/autoresponder";
constexpr const char* AUTORESPONDER_HOOK_CONTEXT = "responder";

// The non-empty elements of a list separated by commas or blanks.
std::vector<std::string> hook_list_split(const char* list);

// `mailname` and `maildomain` are lists (hook_list_split); one record is
// made for each mail name at each domain (in ASCII form). HOOK_ENABLE stores
// them, HOOK_DISABLE deletes them, all in one transaction that is undone
// when any of them fails; other actions do nothing. 0, or -1 after a log
// message (a name that cannot make an address changes nothing).
int autoresponder_action(const char* mailname, const char* maildomain, handler_control_t action);
