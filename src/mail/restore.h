// Named settings of the panel's `misc` table, read over a panel database
// connection: as a field, or with failures reported as warnings.
#pragma once

#include <string>

#include "util/mysql.h"

namespace marun {
namespace mail {
namespace restore {

// The `val` of the parameter's row; a null, empty field when there is no
// row. Any failure throws marun::mysql::mError.
marun::mysql::Field getStringMiscParam(const std::string& param,
                                       marun::mysql::Connection& connection);

// As getStringMiscParam, but an mError is reported on uerr as a warning and
// gives the null, empty field.
marun::mysql::Field getStringMiscParamSafe(const std::string& param,
                                           marun::mysql::Connection& connection);

// True when the value is exactly "true", false for any other value; the
// default when there is no value (no row, a NULL value, or a reported error).
bool getBoolMiscParamSafe(const std::string& param, marun::mysql::Connection& connection,
                          bool defaultValue);

}  // namespace restore
}  // namespace mail
}  // namespace marun
