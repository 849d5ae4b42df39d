#include "support/failing_allocation.h"

#include <cerrno>
#include <cstdlib>
#include <new>

namespace quorvel::test {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kReplaced = false;
#else
constexpr bool kReplaced = true;
#endif

// Allocations of this thread (operator new and aligned_alloc) still to be served before the refused
// one; 0: none is refused.
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
namespace quorvel::test {
namespace {

// Whether this allocation is the refused one.
bool refuses() {
    if (t_countdown != 0 && --t_countdown == 0) {
        t_refused = true;
        return true;
    }
    return false;
}

}  // namespace
}  // namespace quorvel::test

extern "C" void* __libc_memalign(std::size_t alignment, std::size_t size);

// Asio takes the memory of its operations from aligned_alloc, not operator new.
extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) {
    if (quorvel::test::refuses()) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_memalign(alignment, size);
}

// The other forms of operator new (arrays, nothrow) call this one; the default operator delete
// frees what malloc gave.
void* operator new(std::size_t size) {
    if (quorvel::test::refuses()) {
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
