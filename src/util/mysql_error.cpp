// Text of panel database errors.
#include "util/mysql_error.h"

namespace marun {
namespace mysql {

mError::mError(MYSQL* connection, const std::string& context) {
    unsigned int number = connection ? mysql_errno(connection) : 0;
    if (number != 0) {
        message_ =
            "MySQL error " + std::to_string(number) + ": " + mysql_error(connection) + context;
    } else {
        message_ = "Unknown error\n" + context;
    }
}

}  // namespace mysql
}  // namespace marun
