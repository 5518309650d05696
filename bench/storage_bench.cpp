// Benchmark of Maildir measurement: counting a large Maildir whose message
// names carry ",S=" against `du -s --apparent-size` on the same tree, and
// reading a valid "maildirsize" on a large and on a small Maildir.
//
//   storage_bench [--messages N] [--dir PARENT] [--rounds R]
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "mail/lib/maildirpp_usage.h"
#include "mail/lib/maildirsize_write.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "storage_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// A Maildir with `messages` empty files named like delivered messages, 90%
// in "cur" and 10% in "new", and an unrelated file in "tmp".
std::string makeMaildir(const std::string& parent, const char* name, long messages) {
    std::string maildir = parent + "/" + name;
    for (const char* sub : {"", "/cur", "/new", "/tmp"}) {
        if (mkdir((maildir + sub).c_str(), 0700) != 0) {
            die("mkdir " + maildir + sub);
        }
    }
    for (long i = 0; i < messages; ++i) {
        char file[256];
        bool fresh = i % 10 == 0;
        std::snprintf(file, sizeof file, "%s/%s/1700000000.M%ldP4242.bench.example,S=%ld%s",
                      maildir.c_str(), fresh ? "new" : "cur", i, 1000 + i % 50000,
                      fresh ? "" : ":2,S");
        int fd = open(file, O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0) {
            die(std::string("create ") + file);
        }
        close(fd);
    }
    return maildir;
}

double timeDu(const std::string& path) {
    const char* argv[] = {"du", "-s", "--apparent-size", path.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    Clock::time_point start = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "du", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
        die("spawn du");
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double elapsed = seconds(Clock::now() - start);
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        errno = 0;
        die("du failed");
    }
    return elapsed;
}

double timeUsage(const std::string& maildir, sizequota_t* size, fcount_t* count) {
    Clock::time_point start = Clock::now();
    if (!get_maildirpp_usage(maildir.c_str(), size, count)) {
        die("get_maildirpp_usage " + maildir);
    }
    return seconds(Clock::now() - start);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Median times of one get_maildirpp_usage call on `a` and on `b`, measured
// in alternating batches so that drift of the machine hits both alike.
std::pair<double, double> medianUsagePair(const std::string& a, const std::string& b, int rounds,
                                          int batch) {
    std::vector<double> samples_a, samples_b;
    sizequota_t size;
    fcount_t count;
    for (int r = 0; r < rounds * 4; ++r) {
        for (auto [maildir, samples] :
             {std::make_pair(&a, &samples_a), std::make_pair(&b, &samples_b)}) {
            double total = 0;
            for (int i = 0; i < batch; ++i) {
                total += timeUsage(*maildir, &size, &count);
            }
            samples->push_back(total / batch);
        }
    }
    return {median(samples_a), median(samples_b)};
}

}  // namespace

int main(int argc, char** argv) {
    long messages = 100000;
    int rounds = 5;
    const char* tmp = std::getenv("TMPDIR");
    std::string parent = tmp != nullptr ? tmp : "/tmp";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--messages") {
            messages = std::atol(argv[i + 1]);
        } else if (option == "--dir") {
            parent = argv[i + 1];
        } else if (option == "--rounds") {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        }
    }

    std::string pattern = parent + "/kvarn-bench-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        die("mkdtemp " + pattern);
    }
    std::string root = buffer.data();

    std::printf("building a Maildir of %ld messages in %s ...\n", messages, root.c_str());
    std::fflush(stdout);
    std::string big = makeMaildir(root, "big", messages);
    std::string small = makeMaildir(root, "small", 10);

    // Warm the directory caches for both contenders alike.
    timeDu(big);
    sizequota_t size = 0;
    fcount_t count = 0;
    timeUsage(big, &size, &count);

    std::vector<double> du_times, count_times;
    for (int r = 0; r < rounds; ++r) {
        du_times.push_back(timeDu(big));
        count_times.push_back(timeUsage(big, &size, &count));
    }
    double du = median(du_times);
    double counted = median(count_times);
    std::printf("counting (no maildirsize): %ld messages, %lld bytes\n", static_cast<long>(count),
                size);
    std::printf("  du -s --apparent-size   %10.3f ms\n", du * 1e3);
    std::printf("  get_maildirpp_usage     %10.3f ms\n", counted * 1e3);
    std::printf("  ratio du / count        %10.2f\n", du / counted);

    uid_t uid = getuid();
    gid_t gid = getgid();
    if (!write_maildirpp_maildirsize(big.c_str(), uid, gid, 0, 0) ||
        !write_maildirpp_maildirsize(small.c_str(), uid, gid, 0, 0)) {
        die("write_maildirpp_maildirsize");
    }
    auto [read_big, read_small] = medianUsagePair(big, small, rounds, 1000);
    std::printf("reading a valid maildirsize:\n");
    std::printf("  %ld messages             %10.3f us\n", messages, read_big * 1e6);
    std::printf("  10 messages             %10.3f us\n", read_small * 1e6);
    std::printf("  ratio large / small     %10.2f\n", read_big / read_small);

    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return 0;
}
