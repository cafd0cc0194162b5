// What differs between compilers and systems, in one place. The units use
// the names defined here and never test the compiler or the C library
// themselves; the per-platform link flags are in CMakeLists.txt.
//
// Supported: GCC and Clang (libstdc++ or libc++, Linux with glibc or musl,
// macOS) and MSVC (Windows). The forced unwind that ends daemon threads at
// shutdown on glibc needs nothing here: it passes through guards that every
// C++ runtime runs the same way (see `OnUnwind` in errors.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <version>

#if defined(__linux__)
#include <features.h> // __GLIBC__ tells glibc from musl
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(__APPLE__)
#include <pthread.h>
#elif defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <intrin.h> // _AddressOfReturnAddress
#endif

#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

// ---------------------------------------------------------------------------
// Inlining and code placement. The hot path depends on these: see the entry
// adapters in frame.hpp.

#if defined(__GNUC__) // GCC and Clang
/// Inlined wherever it is called, whatever the inliner's budgets say.
#define TARVELLA_ALWAYS_INLINE [[gnu::always_inline]] inline
/// Never inlined: keeps a slow path's registers out of its caller.
#define TARVELLA_NOINLINE [[gnu::noinline]]
/// Everything this function calls is inlined into it, where possible.
#define TARVELLA_FLATTEN [[gnu::flatten]]
/// Rarely run: placed apart from the hot code, its callers' branches to it
/// predicted not taken.
#define TARVELLA_COLD [[gnu::cold]]
#elif defined(_MSC_VER)
#define TARVELLA_ALWAYS_INLINE __forceinline
#define TARVELLA_NOINLINE __declspec(noinline)
#define TARVELLA_FLATTEN
#define TARVELLA_COLD
#else
#define TARVELLA_ALWAYS_INLINE inline
#define TARVELLA_NOINLINE
#define TARVELLA_FLATTEN
#define TARVELLA_COLD
#endif

// ---------------------------------------------------------------------------
// Thread-local storage

/// The TLS model of the lock depth. Initial-exec makes each access one
/// thread-pointer-relative load instead of a call to __tls_get_addr, at the
/// price of a slot in the static TLS block, which glibc keeps spare room in
/// for modules loaded later. musl's loader keeps none and refuses such a
/// module, and other systems have models of their own: the default there.
#if defined(__GLIBC__)
#define TARVELLA_TLS_MODEL __attribute__((tls_model("initial-exec")))
#else
#define TARVELLA_TLS_MODEL
#endif

namespace tarvella {

// ---------------------------------------------------------------------------
// Source locations for fault reports

#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
/// The library has no std::source_location (libstdc++ with a Clang too old
/// for its builtin): the same interface, from the older builtins where the
/// compiler has them, otherwise a fixed empty place.
#if defined(__has_builtin)
#if __has_builtin(__builtin_FILE) && __has_builtin(__builtin_LINE)
#define TARVELLA_HAS_LOCATION_BUILTINS 1
#endif
#endif
class SourceLocation {
public:
#if defined(TARVELLA_HAS_LOCATION_BUILTINS)
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            std::uint_least32_t line = __builtin_LINE()) noexcept {
        return SourceLocation(file, line);
    }
#else
    static constexpr SourceLocation current() noexcept { return SourceLocation("", 0); }
#endif
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }

private:
    constexpr SourceLocation(const char* file, std::uint_least32_t line) noexcept
        : file_(file), line_(line) {}
    const char* file_;
    std::uint_least32_t line_;
};
#endif

// ---------------------------------------------------------------------------
// Thread names for fault reports

/// Writes the current thread's name into `name` (`size` bytes, at least 16)
/// and returns true, or returns false where the system keeps no name that
/// can be read this way.
inline bool read_thread_name(char* name, std::size_t size) noexcept {
#if defined(__linux__)
    // prctl rather than pthread_getname_np, which glibc moved into libc at
    // 2.34 under a new symbol version: importing it would make the wheel
    // refuse every older system. PR_GET_NAME fills at most 16 bytes.
    return size >= 16 && prctl(PR_GET_NAME, name) == 0;
#elif defined(__APPLE__)
    return pthread_getname_np(pthread_self(), name, size) == 0;
#else
    // Left out on Windows: its thread description (GetThreadDescription)
    // exists only from Windows 10 1607 on, so it would have to be looked up
    // at run time, and the report reads "<unnamed>" without it.
    (void)name;
    (void)size;
    return false;
#endif
}

// ---------------------------------------------------------------------------
// Thread stacks
//
// Stacks grow towards lower addresses on every system and processor this
// module is built for; the code that guards against running out of stack
// (frame.hpp) relies on it.

#if defined(__GLIBC__)
// glibc 2.32 and 2.34 gave these functions new default symbol versions when
// they moved from libpthread into libc (the mutex's try-lock is std::mutex's,
// inlined into the one-time cells' gate); linked by default, the module would
// refuse to load on any older glibc. The original versions are the same code
// under their first names, which every glibc since has kept.
#if defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
__asm__(".symver pthread_mutex_trylock,pthread_mutex_trylock@GLIBC_2.2.5");
#elif defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
__asm__(".symver pthread_mutex_trylock,pthread_mutex_trylock@GLIBC_2.17");
#endif
#endif

/// Where the caller is on its stack: the stack pointer, read where the
/// processor is known (one instruction), else the frame's address. Not the
/// address of a local: AddressSanitizer's detection of use after return
/// moves such locals to a heap of its own. Always inlined into its caller.
TARVELLA_ALWAYS_INLINE std::uintptr_t stack_position() noexcept {
    std::uintptr_t here;
#if defined(__GNUC__) && defined(__x86_64__)
    __asm__("mov %%rsp, %0" : "=r"(here));
#elif defined(__GNUC__) && defined(__aarch64__)
    __asm__("mov %0, sp" : "=r"(here));
#elif defined(__GNUC__)
    here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#elif defined(_MSC_VER)
    here = reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress());
#else
    char marker = 0;
    here = reinterpret_cast<std::uintptr_t>(&marker);
#endif
    return here;
}

/// The lowest usable address of the current thread's stack and the address
/// just past its top, or false where the system does not say. The answer
/// costs a system call or more (glibc reads /proc/self/maps for the main
/// thread): callers ask once per thread.
inline bool read_stack_bounds(std::uintptr_t& low, std::uintptr_t& high) noexcept {
#if defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0)
        return false;
    void* address = nullptr;
    std::size_t size = 0;
    const int failed = pthread_attr_getstack(&attributes, &address, &size);
    pthread_attr_destroy(&attributes);
    if (failed != 0 || address == nullptr || size == 0)
        return false;
    low = reinterpret_cast<std::uintptr_t>(address);
    high = low + size;
#if !defined(__GLIBC__)
    // musl reports for the main thread only the part of its stack mapped so
    // far, which the kernel grows on demand up to the resource limit. glibc
    // answers with that limit already.
    if (getpid() == static_cast<pid_t>(syscall(SYS_gettid))) {
        struct rlimit limit;
        if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            limit.rlim_cur > size && limit.rlim_cur < high)
            low = high - limit.rlim_cur;
    }
#endif
    return true;
#elif defined(__APPLE__)
    // The address that macOS gives is the top of the stack, not its base.
    pthread_t self = pthread_self();
    high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    const std::size_t size = pthread_get_stacksize_np(self);
    if (high == 0 || size == 0 || size > high)
        return false;
    low = high - size;
    return true;
#elif defined(_WIN32)
    // The reserved range, guard pages included; the margin that callers keep
    // covers those. Windows 8 and later, which every supported CPython needs.
    ULONG_PTR bottom = 0;
    ULONG_PTR top = 0;
    GetCurrentThreadStackLimits(&bottom, &top);
    if (bottom == 0 || top <= bottom)
        return false;
    low = static_cast<std::uintptr_t>(bottom);
    high = static_cast<std::uintptr_t>(top);
    return true;
#else
    (void)low;
    (void)high;
    return false;
#endif
}

} // namespace tarvella
