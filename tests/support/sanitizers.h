// Whether the test program runs under AddressSanitizer or ThreadSanitizer, which make each step
// many times as slow: tests that draw many random cases draw fewer there, so that a busy machine
// with two cores meets the suite's deadline.
#pragma once

namespace quorvel::testing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif

// How many random cases a test draws: `plain` where the build runs at full speed.
constexpr int random_cases(int plain) {
    return kUnderSanitizer ? (plain + 9) / 10 : plain;
}

}  // namespace quorvel::testing
