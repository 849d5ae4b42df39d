// Makes one allocation of the calling thread fail, for tests of what code does when memory runs
// out: while a `FailingAllocation` lives, the `fail_at`th call of operator new or aligned_alloc on
// its thread (1: the first) fails, throwing std::bad_alloc or returning null; the others, and
// every other thread's, are served.
//
// The test program replaces operator new for this. Sanitizer builds keep the sanitizer's own
// allocator: there `available()` is false and nothing fails.
#pragma once

#include <cstddef>

namespace quorvel::test {

class FailingAllocation {
  public:
    static bool available();

    explicit FailingAllocation(std::size_t fail_at);
    ~FailingAllocation();
    FailingAllocation(const FailingAllocation&) = delete;
    FailingAllocation& operator=(const FailingAllocation&) = delete;

    // Whether the allocation was refused: false when the code made fewer than `fail_at`.
    bool refused() const;
};

}  // namespace quorvel::test
