// Benchmark driver for the lookup-table store. Each mode does one table
// operation and nothing else, then prints its own figures, so that the
// peak resident set of the process is that of the operation:
//
//   table_bench filter MAP FROM TO   rename domain FROM to TO in every record
//                                    of MAP with filterRecords
//   table_bench add MAP COUNT        add COUNT generated records to MAP with
//                                    one addRecords call
//
// Output: "seconds=S maxrss_kib=K children_maxrss_kib=C cpu_self=U
// cpu_children=V" (C: the largest postmap run; CPU times in seconds).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "postfix/database_helper.h"
#include "postfix/record_filters.h"

namespace {

using marun::mail::postfix::DatabaseHelper;
using marun::mail::postfix::RecordVector;
namespace database = marun::mail::postfix::database;

int usage() {
    std::fprintf(stderr,
                 "usage: table_bench filter MAP FROM TO\n"
                 "       table_bench add MAP COUNT\n");
    return 2;
}

void report(std::chrono::steady_clock::time_point start) {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct rusage self;
    struct rusage children;
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    auto cpu = [](const struct rusage& r) {
        return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
               static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    std::printf(
        "seconds=%.3f maxrss_kib=%ld children_maxrss_kib=%ld cpu_self=%.3f cpu_children=%.3f\n",
        seconds, self.ru_maxrss, children.ru_maxrss, cpu(self), cpu(children));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    const std::string mode = argv[1];
    try {
        if (mode == "filter" && argc == 5) {
            const std::string from = argv[3];
            const std::string to = argv[4];
            auto start = std::chrono::steady_clock::now();
            DatabaseHelper::filterRecords(argv[2],
                                          database::ElementsFilter<database::ReplaceDomainPart>(
                                              database::ReplaceDomainPart(from, to, false)));
            report(start);
            return 0;
        }
        if (mode == "add" && argc == 4) {
            long count = std::atol(argv[3]);
            RecordVector records;
            records.reserve(static_cast<size_t>(count));
            for (long i = 0; i < count; ++i) {
                std::string n = std::to_string(i);
                records.emplace_back("added" + n + "@bench.example", "fwd" + n + "@other.example");
            }
            auto start = std::chrono::steady_clock::now();
            DatabaseHelper::addRecords(argv[2], records.cbegin(), records.cend());
            report(start);
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "table_bench: %s\n", e.what());
        return 1;
    }
    return usage();
}
