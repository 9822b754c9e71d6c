// What every fuzzer checks: a failed invariant aborts, which libFuzzer reports with the input.
#ifndef KELVOR_FUZZ_INVARIANTS_H
#define KELVOR_FUZZ_INVARIANTS_H

#include <cstdlib>

inline void Check(bool ok)
{
    if (!ok)
        std::abort();
}

inline bool IsFlag(int value) { return value == 0 || value == 1; }

#endif
