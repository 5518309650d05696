// The panel configuration file "/etc/oru/oru.conf": loaded once on the first
// lookup, with a compile-time default for every variable the panel knows.
#pragma once

// Index of each known variable; the enumerator is the variable's name between
// "_" and "_INDEX". 0 and 31 are sentinels.
enum OruConfVarIndexT {
    _MIN_POSSIBLE_ORU_CONF_VAR_INDEX = 0,
    _MARUN_MAILNAMES_D_INDEX = 1,
    _COURIER_IMAP_ROOT_D_INDEX = 2,
    _RBLSMTPD_INDEX = 3,
    _CLIENT_PHP_BIN_INDEX = 4,
    _LIB_CRYPTO_PATH_INDEX = 5,
    _LIB_SSL_PATH_INDEX = 6,
    _AWSTATS_DOC_D_INDEX = 7,
    _AWSTATS_TOOLS_D_INDEX = 8,
    _AWSTATS_BIN_D_INDEX = 9,
    _AWSTATS_ETC_D_INDEX = 10,
    _CATALINA_HOME_INDEX = 11,
    _MAILMAN_VAR_D_INDEX = 12,
    _MAILMAN_ROOT_D_INDEX = 13,
    _PGSQL_DATA_D_INDEX = 14,
    _PGSQL_BIN_D_INDEX = 15,
    _MYSQL_BIN_D_INDEX = 16,
    _MYSQL_VAR_D_INDEX = 17,
    _WEB_STAT_INDEX = 18,
    _DUMP_D_INDEX = 19,
    _DUMP_TMP_D_INDEX = 20,
    _NAMED_RUN_ROOT_D_INDEX = 21,
    _FTPD_CONF_INC_INDEX = 22,
    _HTTPD_SERVICE_INDEX = 23,
    _HTTPD_LOG_D_INDEX = 24,
    _HTTPD_INCLUDE_D_INDEX = 25,
    _HTTPD_CONF_D_INDEX = 26,
    _HTTPD_VHOSTS_D_INDEX = 27,
    _PRODUCT_ROOT_D_INDEX = 28,
    _NAMED_OPTIONS_CONF_INDEX = 29,
    _NAMED_ZONES_CONF_INDEX = 30,
    _MAX_POSSIBLE_ORU_CONF_VAR_INDEX = 31,
};

constexpr const char* ORU_CONF_PATH = "/etc/oru/oru.conf";

// Names and compile-time defaults, indexed by OruConfVarIndexT.
extern const char* const oruConfVarNames[_MAX_POSSIBLE_ORU_CONF_VAR_INDEX + 1];
extern const char* const oruConfVarDefaults[_MAX_POSSIBLE_ORU_CONF_VAR_INDEX + 1];

// Loads ORU_CONF_PATH unless it is loaded already. 0 when loaded, -1 when the
// load failed (nothing is kept, so the next lookup tries again).
int autoprepend();

// The file's value of `name`, or null when absent or the file cannot be read.
const char* oruConfGet(const char* name);

// As oruConfGet for a known variable; found values are cached by index.
const char* oruConfGetByIndex(int index);

// The file's value, else the compile-time default; never null for 1..30.
const char* oruConfGetDefaultByIndex(int index);

// As oruConfGetDefaultByIndex for a variable given by name; null (with a
// message) when the name is not a known variable.
const char* oruConfGetDefault(const char* name);

// Test support: forgets the loaded file and the cache, as at process start.
void oruConfResetForTesting();

// Returned strings belong to the loaded file or to the tables above and stay
// valid until the process ends; callers never free them.
