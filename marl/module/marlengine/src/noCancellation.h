// Holds off thread cancellation for as long as it lives.
//
// No function of the library is a cancellation point: a cancellation
// request that comes while one runs (in its send, its wait, its log line)
// takes effect at the thread's next cancellation point after it returns.
// So a call never leaves anything behind (a query still listed on a stack
// that is gone, a buffer, a lock), and no unwinding ever passes through the
// library's frames, which are built without unwind tables.
#pragma once

#include <pthread.h>

namespace marl {

class NoCancellation {
public:
    [[gnu::always_inline]] NoCancellation() noexcept { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state_); }
    [[gnu::always_inline]] ~NoCancellation() { pthread_setcancelstate(state_, nullptr); }
    NoCancellation(const NoCancellation&) = delete;
    NoCancellation& operator=(const NoCancellation&) = delete;

private:
    int state_ = PTHREAD_CANCEL_ENABLE;
};

} // namespace marl
