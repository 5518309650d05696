// Validation of mail names before they reach tables, paths and databases.
#pragma once

// Type 0: 1 when `text` holds no "..", else 0. Any other type is logged as
// unknown and gives 0.
int mail_validate(const char* text, int validation_type);
