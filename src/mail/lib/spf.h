// SPF settings on disk, where the SPF checking component reads them: four
// files under "/etc/oru-spf", each holding one value verbatim (no newline
// added). A file is rewritten in place, keeping its owner and mode; it is
// opened through the no-follow walker, so a link or FIFO planted at its name
// is refused rather than written through or waited on.
#pragma once

// Writes each value that is not null to its file, in the order behaviour
// ("spfbehavior"), rules ("spfrules"), guess ("spfguess"), explanation
// ("spfexp"); a null value leaves its file alone. 0, or -1 at the first
// failure after a message through messlog2 (later files stay untouched).
int update_spf(const char* behavior, const char* rules, const char* guess, const char* exp);
