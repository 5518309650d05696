// Reading panel settings from the `misc` table.
#include "mail/restore.h"

#include <ostream>

#include "util/uerr.h"

namespace marun {
namespace mail {
namespace restore {

marun::mysql::Field getStringMiscParam(const std::string& param,
                                       marun::mysql::Connection& connection) {
    // The name is inserted as an escaped value: names of settings never hold
    // quotes, and one that did could not break out of the literal.
    connection << "SELECT    val  FROM misc    WHERE param='" << marun::mysql::Query::VALUE << param
               << "'";
    marun::mysql::Result result = connection << marun::mysql::Query::fetch;
    marun::mysql::Result::row_t row;
    if (!result.fetch(&row)) {
        return marun::mysql::Field();
    }
    auto value = row.find("val");
    if (value == row.end()) {
        throw marun::mysql::mError(std::string("No field named ") + "val" + " in result set");
    }
    return value->second;
}

marun::mysql::Field getStringMiscParamSafe(const std::string& param,
                                           marun::mysql::Connection& connection) {
    try {
        return getStringMiscParam(param, connection);
    } catch (const marun::mysql::mError& e) {
        uerr << "Warning: MySQL Error on Mail Authentication Type query: " << e.what()
             << ", ignored" << std::endl;
        return marun::mysql::Field();
    }
}

bool getBoolMiscParamSafe(const std::string& param, marun::mysql::Connection& connection,
                          bool defaultValue) {
    marun::mysql::Field value = getStringMiscParamSafe(param, connection);
    if (value.isNull()) {
        return defaultValue;
    }
    return value.value() == "true";
}

}  // namespace restore
}  // namespace mail
}  // namespace marun
