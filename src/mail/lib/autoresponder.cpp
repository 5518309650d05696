// Autoresponder hook records: built for every mail name at every domain of
// the two lists, then stored or deleted in one all-or-nothing transaction.
#include "mail/lib/autoresponder.h"

#include <cstring>

#include "lib/c_handles.h"
#include "lib/idn.h"
#include "lib/log.h"
#include "mail/lib/mail_handlers.h"

namespace {

constexpr const char* LIST_SEPARATORS = ", ";
// Longest address of a hook record.
constexpr size_t MAX_ADDRESS = 254;
constexpr uint32_t HOOK_PRIORITY = 90;

// Frees the list when the action ends.
struct ListOwner {
    mh_list_t list;
    ListOwner() { mh_list_init(&list); }
    ~ListOwner() { mh_list_free(&list); }
};

// The records of every pair, or false after a log message.
bool buildRecords(const std::vector<std::string>& names, const std::vector<std::string>& domains,
                  mh_list_t* list) {
    mh_t hook;
    mh_data_init_ex(&hook);
    hook.priority = HOOK_PRIORITY;
    hook.type = MH_TYPE_RECIPIENT;
    hook.queue = MH_QUEUE_LOCAL;
    hook.name = const_cast<char*>(AUTORESPONDER_HOOK_NAME);
    hook.executable = const_cast<char*>(AUTORESPONDER_HOOK_EXECUTABLE);
    hook.context = const_cast<char*>(AUTORESPONDER_HOOK_CONTEXT);
    hook.enabled = 1;
    for (const std::string& name : names) {
        for (const std::string& domain : domains) {
            MallocPtr<char> ascii(idn_toascii(domain.c_str()));
            if (!ascii) {
                marun_log(3, "idn_toascii() failed: %s", idn_strerror(idn_errno));
                return false;
            }
            std::string address = name + "@" + ascii.get();
            if (address.size() > MAX_ADDRESS) {
                marun_log(3, "domain name too long\n");
                return false;
            }
            hook.address = &address[0];
            if (mh_list_add(list, &hook) < 0) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> hook_list_split(const char* list) {
    std::vector<std::string> elements;
    for (const char* p = list; *p != '\0';) {
        size_t length = std::strcspn(p, LIST_SEPARATORS);
        if (length > 0) {
            elements.emplace_back(p, length);
        }
        p += length;
        p += std::strspn(p, LIST_SEPARATORS);
    }
    return elements;
}

int autoresponder_action(const char* mailname, const char* maildomain, handler_control_t action) {
    if (action != HOOK_ENABLE && action != HOOK_DISABLE) {
        return 0;
    }
    ListOwner records;
    if (!buildRecords(hook_list_split(mailname), hook_list_split(maildomain), &records.list)) {
        marun_log(3, "Unable to make action for some autoresponder handlers");
        return -1;
    }
    return mh_db_do_all(&records.list, nullptr, action == HOOK_ENABLE ? mh_db_add : mh_db_remove);
}
