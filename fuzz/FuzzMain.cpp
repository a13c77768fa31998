// libFuzzer entry; KALVO_FUZZ_ENTRY names the target's function.
#include "fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return KALVO_FUZZ_ENTRY(data, size);
}
