// Floating-point traps as many Windows hosts set them on their audio thread.
#pragma once

#include <cfenv>

#if defined(_WIN32)
#include <float.h>
#include <xmmintrin.h>
#elif defined(__linux__)
#include <fenv.h>
#endif

namespace kit {

// While it lives, invalid operation, division by zero and overflow trap:
// any such operation takes the process down, as it would take down the host.
class UnmaskedFloatingPointExceptions {
public:
    UnmaskedFloatingPointExceptions() {
        std::feclearexcept(FE_ALL_EXCEPT);  // a pending x87 flag would trap at once
#if defined(_WIN32)
        saved_ = _controlfp(0, 0);
        _controlfp(saved_ & ~static_cast<unsigned>(_EM_INVALID | _EM_ZERODIVIDE | _EM_OVERFLOW), _MCW_EM);
        savedCsr_ = _mm_getcsr();  // the x87 settings above need not reach SSE
        _mm_setcsr(savedCsr_ & ~static_cast<unsigned>(_MM_MASK_INVALID | _MM_MASK_DIV_ZERO | _MM_MASK_OVERFLOW));
#elif defined(__linux__)
        feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
#endif
    }
    ~UnmaskedFloatingPointExceptions() {
#if defined(_WIN32)
        _mm_setcsr(savedCsr_ & ~static_cast<unsigned>(_MM_EXCEPT_MASK));
        _clearfp();
        _controlfp(saved_, _MCW_EM);
#elif defined(__linux__)
        fedisableexcept(FE_ALL_EXCEPT);
#endif
        std::feclearexcept(FE_ALL_EXCEPT);
    }
    UnmaskedFloatingPointExceptions(const UnmaskedFloatingPointExceptions&) = delete;
    UnmaskedFloatingPointExceptions& operator=(const UnmaskedFloatingPointExceptions&) = delete;

private:
#if defined(_WIN32)
    unsigned saved_ = 0;
    unsigned savedCsr_ = 0;
#endif
};

}  // namespace kit
