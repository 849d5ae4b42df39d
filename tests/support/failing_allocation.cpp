#include "support/failing_allocation.h"

#include <cstdlib>
#include <new>

namespace quorvel::test {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kReplaced = false;
#else
constexpr bool kReplaced = true;
#endif

// Allocations of this thread still to be served before the refused one; 0: none is refused.
constinit thread_local std::size_t t_countdown = 0;
constinit thread_local bool t_refused = false;

}  // namespace

bool FailingAllocation::available() {
    return kReplaced;
}

FailingAllocation::FailingAllocation(std::size_t fail_at) {
    t_refused = false;
    t_countdown = fail_at;
}

FailingAllocation::~FailingAllocation() {
    t_countdown = 0;
}

bool FailingAllocation::refused() const {
    return t_refused;
}

}  // namespace quorvel::test

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The other forms of operator new (arrays, nothrow) call this one; the default operator delete
// frees what malloc gave.
void* operator new(std::size_t size) {
    using quorvel::test::t_countdown;
    if (t_countdown != 0 && --t_countdown == 0) {
        quorvel::test::t_refused = true;
        throw std::bad_alloc();
    }
    for (;;) {
        if (void* block = std::malloc(size == 0 ? 1 : size)) {
            return block;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}
#endif
