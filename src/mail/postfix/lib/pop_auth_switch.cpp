// The milter's POP-before-SMTP switch.
#include "mail/postfix/lib/pop_auth_switch.h"

#include "lib/file_str.h"

const char* const POP_AUTH_SWITCH_FILE = "/etc/sysconfig/oru-pc-remote";

int enablePopAuth() {
    return file_str(POP_AUTH_SWITCH_FILE, "pc_milter_pop_before_smtp=1", FILE_ADD, FILE_END);
}

int disablePopAuth() {
    return file_str(POP_AUTH_SWITCH_FILE, "pc_milter_pop_before_smtp", FILE_REMSUB, FILE_BEGIN);
}
