// Floating-point traps as many Windows hosts set them on their audio thread:
// for the validator, the test kit and the fuzz targets. Header-only.
#pragma once

#include <cfenv>

#if defined(_WIN32)
#include <float.h>
#include <xmmintrin.h>
#elif defined(__linux__)
#include <fenv.h>
#endif

namespace validate {

// While it lives, invalid operations (and division by zero and overflow)
// trap: any such operation takes the process down, as it would take down
// the host.
class UnmaskedFloatingPointExceptions {
public:
    // Invalid operations always; division by zero and overflow unless
    // `invalidOnly`.
    explicit UnmaskedFloatingPointExceptions(bool invalidOnly = false) {
        std::feclearexcept(FE_ALL_EXCEPT);  // a pending x87 flag would trap at once
#if defined(_WIN32)
        const unsigned x87 = _EM_INVALID | (invalidOnly ? 0u : static_cast<unsigned>(_EM_ZERODIVIDE | _EM_OVERFLOW));
        const unsigned sse = _MM_MASK_INVALID | (invalidOnly ? 0u : static_cast<unsigned>(_MM_MASK_DIV_ZERO | _MM_MASK_OVERFLOW));
        saved_ = _controlfp(0, 0);
        _controlfp(saved_ & ~x87, _MCW_EM);
        savedCsr_ = _mm_getcsr();  // the x87 settings above need not reach SSE
        _mm_setcsr(savedCsr_ & ~sse);
#elif defined(__linux__)
        feenableexcept(FE_INVALID | (invalidOnly ? 0 : FE_DIVBYZERO | FE_OVERFLOW));
#else
        (void)invalidOnly;
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

}  // namespace validate
