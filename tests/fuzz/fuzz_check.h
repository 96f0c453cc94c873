#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The entry point every target defines; libFuzzer calls it, or replay_main.cpp for each file
// of a corpus folder.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace corvane::fuzz {

// The corpus file being replayed, so that a failed property names it; libFuzzer writes its
// own crash file instead.
inline const char *&currentInput() {
    static const char *name = nullptr;
    return name;
}

[[noreturn]] inline void propertyFailed(const char *condition, const char *file, int line) {
    std::fprintf(stderr, "%s:%d: property failed: %s\n", file, line, condition);
    if (currentInput())
        std::fprintf(stderr, "input: %s\n", currentInput());
    std::abort();
}

} // namespace corvane::fuzz

// Aborts, so that libFuzzer keeps the input as a crash, in every build type.
#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? void(0) : corvane::fuzz::propertyFailed(#condition, __FILE__, __LINE__))
