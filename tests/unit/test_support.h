// Helpers for unit tests of the plain-function library: a private temporary
// directory, a capture of what the library logs through marun_log, and the
// rows of an SQLite query.
#pragma once

#include <sqlite3.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lib/log.h"

namespace kvarn_unit {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
  public:
    TempDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "kvarn-unit-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes `content` to `name` in this directory and returns its path.
    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream(file(name), std::ios::binary) << content;
        return file(name);
    }

  private:
    std::string path_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Rows of a query, columns joined with "|", NULL as "NULL"; a failure as a
// row "ERROR <message>".
inline std::vector<std::string> sqliteRows(sqlite3* db, const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    while (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
            const unsigned char* text = sqlite3_column_text(stmt, i);
            row +=
                (i ? "|" : "") + std::string(text ? reinterpret_cast<const char*>(text) : "NULL");
        }
        rows.push_back(row);
        rc = SQLITE_OK;
    }
    if (rc != SQLITE_DONE && rc != SQLITE_OK) {
        rows.push_back(std::string("ERROR ") + sqlite3_errmsg(db));
    }
    sqlite3_finalize(stmt);
    return rows;
}

struct LogRecord {
    int priority;
    std::string text;
};

// While alive, marun_log records every message here instead of the system log.
class LogCapture {
  public:
    LogCapture() : saved_(marun_log) {
        records().clear();
        marun_log = &LogCapture::record;
    }
    ~LogCapture() { marun_log = saved_; }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<LogRecord>& messages() const { return records(); }

    // The messages joined, one per line, for readable assertion output.
    std::string all() const {
        std::string joined;
        for (const LogRecord& r : records()) {
            joined += r.text + "\n";
        }
        return joined;
    }

  private:
    static std::vector<LogRecord>& records() {
        static std::vector<LogRecord> instance;
        return instance;
    }
    static void record(int priority, const char* format, ...) {
        va_list args;
        va_start(args, format);
        char buf[8192];
        std::vsnprintf(buf, sizeof(buf), format, args);
        va_end(args);
        records().push_back({priority, buf});
    }

    marun_log_fn saved_;
};

}  // namespace kvarn_unit
