/* Peak-memory probe for one process, loaded with LD_PRELOAD: at exit it
 * writes the process's own peak resident set (not that of its children) to
 * the file named by KVARN_RSS_PROBE. It takes both variables out of the
 * environment at start, so the programs the process runs do not load it. */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

static char probe_path[PATH_MAX];

__attribute__((constructor)) static void probe_start(void) {
    const char* path = getenv("KVARN_RSS_PROBE");
    if (path != NULL && strlen(path) < sizeof probe_path) {
        strcpy(probe_path, path);
    }
    unsetenv("KVARN_RSS_PROBE");
    unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) static void probe_end(void) {
    struct rusage self;
    struct rusage children;
    FILE* out;
    if (probe_path[0] == '\0' || getrusage(RUSAGE_SELF, &self) != 0 ||
        getrusage(RUSAGE_CHILDREN, &children) != 0) {
        return;
    }
    out = fopen(probe_path, "w");
    if (out == NULL) {
        return;
    }
    fprintf(out, "self_kib=%ld children_kib=%ld\n", self.ru_maxrss, children.ru_maxrss);
    fclose(out);
}
