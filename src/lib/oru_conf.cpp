// Binding of the configuration store to the panel file: lazy load, the table
// of known variables with their defaults, and the lookup cache by index.
#include "lib/oru_conf.h"

#include <cstdlib>
#include <cstring>

#include "lib/conf.h"
#include "lib/log.h"

const char* const oruConfVarNames[_MAX_POSSIBLE_ORU_CONF_VAR_INDEX + 1] = {
    "_MIN_POSSIBLE_ORU_CONF_VAR_NAME",
    "MARUN_MAILNAMES_D",
    "COURIER_IMAP_ROOT_D",
    "RBLSMTPD",
    "CLIENT_PHP_BIN",
    "LIB_CRYPTO_PATH",
    "LIB_SSL_PATH",
    "AWSTATS_DOC_D",
    "AWSTATS_TOOLS_D",
    "AWSTATS_BIN_D",
    "AWSTATS_ETC_D",
    "CATALINA_HOME",
    "MAILMAN_VAR_D",
    "MAILMAN_ROOT_D",
    "PGSQL_DATA_D",
    "PGSQL_BIN_D",
    "MYSQL_BIN_D",
    "MYSQL_VAR_D",
    "WEB_STAT",
    "DUMP_D",
    "DUMP_TMP_D",
    "NAMED_RUN_ROOT_D",
    "FTPD_CONF_INC",
    "HTTPD_SERVICE",
    "HTTPD_LOG_D",
    "HTTPD_INCLUDE_D",
    "HTTPD_CONF_D",
    "HTTPD_VHOSTS_D",
    "PRODUCT_ROOT_D",
    "NAMED_OPTIONS_CONF",
    "NAMED_ZONES_CONF",
    "_MAX_POSSIBLE_ORU_CONF_VAR_NAME",
};

const char* const oruConfVarDefaults[_MAX_POSSIBLE_ORU_CONF_VAR_INDEX + 1] = {
    "_MIN_POSSIBLE_ORU_CONF_VAR_VALUE",
    "/var/qmail/mailnames",
    "/",
    "/usr/sbin/rblsmtpd",
    "/usr/local/oru/bin/php-cli",
    "/lib/libcrypto.so",
    "/lib/libssl.so",
    "/usr/share/apache2/icons/awstats",
    "/usr/share/awstats",
    "/srv/www/cgi-bin/awstats",
    "/etc/awstats",
    "/usr/share/tomcat6",
    "/var/lib/mailman",
    "/usr/lib/mailman",
    "/var/lib/pgsql/data",
    "/usr/bin",
    "/usr/bin",
    "/var/lib/mysql",
    "/usr/bin/webalizer",
    "/var/lib/oru/dumps",
    "/tmp",
    "/var/lib/named",
    "/etc/proftpd.include",
    "apache2",
    "/var/log/apache2",
    "/etc/apache2/conf.d",
    "/etc/apache2",
    "/srv/www/vhosts",
    "/usr/local/oru",
    "/etc/named.conf.include.marun-options",
    "/etc/named.conf.include.marun-zones",
    "_MAX_POSSIBLE_ORU_CONF_VAR_VALUE",
};

namespace {

constexpr int kVarCount = _MAX_POSSIBLE_ORU_CONF_VAR_INDEX + 1;

// The loaded panel file; never freed once loaded (returned values point into it).
conf_data* g_conf = nullptr;
const char* g_cache[kVarCount];
bool g_cacheCleared = false;

bool validIndex(int index) {
    return index >= 0 && index < kVarCount;
}

}  // namespace

int autoprepend() {
    if (g_conf != nullptr) {
        return 0;
    }
    auto* conf = static_cast<conf_data*>(std::calloc(1, sizeof(conf_data)));
    if (conf == nullptr) {
        messlog2(0, 0, "Not enough memory to allocate Marun runtime configuration structure\n");
        return -1;
    }
    if (conf_read_file_r(ORU_CONF_PATH, conf) != 0) {
        conf_free_r(conf);
        return -1;
    }
    g_conf = conf;
    return 0;
}

const char* oruConfGet(const char* name) {
    if (autoprepend() != 0) {
        return nullptr;
    }
    return conf_get_r(name, g_conf);
}

const char* oruConfGetByIndex(int index) {
    if (!validIndex(index)) {
        return nullptr;
    }
    if (!g_cacheCleared) {
        std::memset(g_cache, 0, sizeof(g_cache));
        g_cacheCleared = true;
    }
    if (g_cache[index] == nullptr) {
        g_cache[index] = oruConfGet(oruConfVarNames[index]);
    }
    return g_cache[index];
}

const char* oruConfGetDefaultByIndex(int index) {
    if (!validIndex(index)) {
        return nullptr;
    }
    const char* value = oruConfGetByIndex(index);
    return value != nullptr ? value : oruConfVarDefaults[index];
}

const char* oruConfGetDefault(const char* name) {
    for (int index = 0; index < _MAX_POSSIBLE_ORU_CONF_VAR_INDEX; ++index) {
        if (std::strcmp(oruConfVarNames[index], name) == 0) {
            return oruConfGetDefaultByIndex(index);
        }
    }
    messlog2(0, 0, "variable '%s' isn't found neither in %s nor in compile-time defaults\n", name,
             ORU_CONF_PATH);
    return nullptr;
}

void oruConfResetForTesting() {
    conf_free_r(g_conf);
    g_conf = nullptr;
    g_cacheCleared = false;
}
