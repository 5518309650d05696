// Test helper: questions about what a kvarn_unit::LogCapture recorded.
#pragma once

#include <string>

#include "test_support.h"

namespace kvarn_unit {

// Some message is exactly `text`.
inline bool logged(const LogCapture& log, const std::string& text) {
    for (const LogRecord& record : log.messages()) {
        if (record.text == text) {
            return true;
        }
    }
    return false;
}

// Some message contains `part`.
inline bool loggedPart(const LogCapture& log, const std::string& part) {
    for (const LogRecord& record : log.messages()) {
        if (record.text.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace kvarn_unit
