// Runs test code on a thread with a small stack, the size of a secondary thread on the mobile
// target, so that unbounded recursion on outside input crashes the test instead of passing
// unnoticed on the main thread's large stack.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

#include <gtest/gtest.h>

namespace quorvel::testing {

inline constexpr size_t kMobileThreadStack = 512 * 1024;

// Runs `body` to its end on a new thread whose stack holds `stack_bytes`.
inline void run_on_small_stack(const std::function<void()>& body,
                               size_t stack_bytes = kMobileThreadStack) {
    pthread_attr_t attr;
    ASSERT_EQ(::pthread_attr_init(&attr), 0);
    ASSERT_EQ(::pthread_attr_setstacksize(&attr, stack_bytes), 0);
    pthread_t thread;
    auto entry = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    const int rc =
        ::pthread_create(&thread, &attr, entry, const_cast<std::function<void()>*>(&body));
    ::pthread_attr_destroy(&attr);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(::pthread_join(thread, nullptr), 0);
}

}  // namespace quorvel::testing
