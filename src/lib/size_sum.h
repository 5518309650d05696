// Sums of byte and message counts that come from outside: message names and
// "maildirsize" lines that a mailbox owner writes, file lengths, the panel
// database. They stop at a ceiling instead of wrapping, so no total kvarn
// prints or writes turns negative (a negative usage in "maildirsize" would
// lift the mailbox's quota).
#pragma once

// The largest byte total kvarn counts: 2^62 bytes (4 EiB). More than any
// mailbox holds, and far enough below the signed 64-bit limit that another
// program adding a message to a total kvarn wrote cannot wrap either.
constexpr long long SIZE_CEILING = 1LL << 62;

// a + b, held within [-SIZE_CEILING, SIZE_CEILING] (either may lie outside).
inline long long size_add(long long a, long long b) {
    long long sum;
    if (__builtin_add_overflow(a, b, &sum)) {
        return a > 0 ? SIZE_CEILING : -SIZE_CEILING;
    }
    return sum > SIZE_CEILING ? SIZE_CEILING : sum < -SIZE_CEILING ? -SIZE_CEILING : sum;
}

// a + b for counts of things, stopping at the largest unsigned value.
inline unsigned long long count_add(unsigned long long a, unsigned long long b) {
    unsigned long long sum;
    return __builtin_add_overflow(a, b, &sum) ? ~0ULL : sum;
}
