// Errors as values, internal faults, the per-thread lock depth and the
// deferred release list.
//
// Rules of use:
//  - A new reference always arrives in a `Ref` (`Ref::steal`), a borrowed one
//    stays a raw `PyObject*` and is never released.
//  - Bodies return `Outcome<T>`: a value or an `Error`. Only `Fault` unwinds,
//    and only as far as the fault barrier of the entry point.
//  - Every release goes through `release_reference`, so a reference dropped
//    while this thread does not hold the interpreter lock waits on the
//    deferred list instead of touching the object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "free_threading.hpp"
#include "platform.hpp"

#include <atomic>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <mutex>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>

namespace tarvella {

// ---------------------------------------------------------------------------
// Lock depth and the deferred release list

/// Nested entries into the module on this thread that hold the interpreter
/// lock. Read on every entry, so its TLS model matters (see platform.hpp).
extern constinit thread_local Py_ssize_t lock_depth TARVELLA_TLS_MODEL;

struct DeferredReleases;
/// One-time cell: null until the first release that had to wait.
extern std::atomic<DeferredReleases*> deferred_releases;

void defer_release(PyObject* object) noexcept;
void drain_deferred(DeferredReleases* list);

inline void drain_deferred_releases() {
    if (DeferredReleases* list = deferred_releases.load(std::memory_order_acquire)) [[unlikely]]
        drain_deferred(list);
}

/// Runs `action` when its scope is left by an unwind instead of by
/// `dismiss()`. What has to happen while the shutdown unwind of a daemon
/// thread passes (see `call_out`) is done by such a guard, never by catching
/// and rethrowing: the unwind is the C library's, not a C++ exception, and
/// libc++abi, unlike libstdc++, cannot rethrow it from a catch clause (the
/// process aborts). A destructor runs as a clean-up, which both runtimes do
/// for any unwind. When the scope ends normally the compiler sees `armed_`
/// false and leaves no trace of the guard on that path.
template <class F>
class OnUnwind {
public:
    explicit OnUnwind(F action) noexcept : action_(action) {}
    ~OnUnwind() {
        if (armed_) [[unlikely]]
            action_();
    }
    OnUnwind(const OnUnwind&) = delete;
    OnUnwind& operator=(const OnUnwind&) = delete;
    void dismiss() noexcept { armed_ = false; }

private:
    F action_;
    bool armed_ = true;
};

/// Runs an interpreter call that may run Python code. On CPython 3.12 and
/// 3.13 a daemon thread that tries to take the lock back during shutdown is
/// ended by a forced unwind from inside such a call (pthread_exit, which
/// unwinds the thread's stack through our frames): from then on this thread
/// holds no lock, so the releases done while its frames unwind must wait.
/// Not `noexcept`, and neither is anything that calls it: the unwind must
/// pass, and a `noexcept` frame in its way would end the process.
template <class F>
inline decltype(auto) call_out(F&& call) {
    OnUnwind lock_lost([] { lock_depth = 0; });
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        lock_lost.dismiss();
    } else {
        decltype(auto) result = call();
        lock_lost.dismiss();
        return result;
    }
}

/// The release rule. Not `noexcept`: a finaliser run by the release may be
/// where the shutdown unwind of a daemon thread starts, and it must pass.
TARVELLA_ALWAYS_INLINE void release_reference(PyObject* object) {
    if (lock_depth > 0) [[likely]]
        call_out([object] { Py_DECREF(object); });
    else
        defer_release(object);
}

[[noreturn]] void lock_depth_fault();

/// Entry from the interpreter, which calls us with its lock held.
inline void enter_assumed() {
    if (lock_depth < 0) [[unlikely]]
        lock_depth_fault();
    ++lock_depth;
    drain_deferred_releases();
}
inline void leave_assumed() noexcept { --lock_depth; }

/// Scope that holds the lock depth raised, for code reached without an entry
/// adapter of its own (attach in the sense of the release rule).
class Attach {
public:
    Attach();
    ~Attach();
    Attach(const Attach&) = delete;
    Attach& operator=(const Attach&) = delete;

private:
    bool ensured_ = false;
    PyGILState_STATE state_{};
};

// ---------------------------------------------------------------------------
// Owned references

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept {
        Py_INCREF(object);
        return Ref(object);
    }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // Releasing may run Python code, so the shutdown unwind may start here.
    TARVELLA_ALWAYS_INLINE ~Ref() noexcept(false) {
        if (ptr_)
            release_reference(ptr_);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    /// Gives up ownership: the caller now holds the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    explicit Ref(PyObject* object) noexcept : ptr_(object) {}
    PyObject* ptr_ = nullptr;
};

// ---------------------------------------------------------------------------
// Internal faults

/// An unrecoverable failed check. Thrown only by `fault`, caught only by the
/// fault barrier (and, as a last resort, by the outer guard).
struct Fault {
    std::string message;
};

/// Writes a fault report to standard error, then unwinds to the barrier.
[[noreturn]] void fault(std::string message,
                        SourceLocation where = SourceLocation::current());
/// Writes the report of a fault that ends the process.
void report_fault(std::string_view message, const char* file, unsigned line) noexcept;

/// Ends the process as a fault that escaped every barrier would.
[[noreturn]] void die_uncaught() noexcept;

// ---------------------------------------------------------------------------
// Error values

struct ErrorState;
void destroy_error_state(ErrorState* state);

/// A Python exception not raised yet: lazy (class and what to build its value
/// from) or normalised (an exception object). Empty means "no error".
class Error {
public:
    Error() noexcept = default;
    Error(Error&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    Error& operator=(Error&& other) {
        Error taken(std::move(other));
        std::swap(state_, taken.state_);
        return *this;
    }
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    // An error holds references; see ~Ref.
    ~Error() noexcept(false) {
        if (state_ != nullptr)
            destroy_error_state(state_);
    }

    explicit operator bool() const noexcept { return state_ != nullptr; }

    /// `type(text)`; `type` is one of the interpreter's static classes.
    static Error message(PyObject* type, std::string text);
    /// The `TypeError` of a failed type check; its text is made when raised.
    static Error mismatch(PyObject* object, PyObject* expected);
    /// `PanicException(text)`.
    static Error panic(std::string text);
    /// A normalised error holding an exception object.
    static Error from_exception(Ref exception);
    /// `MemoryError`, made without allocating.
    static Error out_of_memory() noexcept;

    ErrorState* state() const noexcept { return state_; }

private:
    explicit Error(ErrorState* state) noexcept : state_(state) {}
    ErrorState* state_ = nullptr;
};

/// The result of a body: a value or an error value.
template <class T>
class [[nodiscard]] Outcome {
public:
    Outcome(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : value_(std::move(value)) {}
    Outcome(Error error) noexcept : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_; }
    T& value() noexcept { return value_; }
    Error& error() noexcept { return error_; }

private:
    T value_{};
    Error error_;
};

struct Unit {};
using Status = Outcome<Unit>;
inline Status success() { return Unit{}; }

/// Makes the error the interpreter's current exception.
void restore_error(Error error);
/// `restore_error`, out of the way of the entry adapters' success path.
TARVELLA_COLD TARVELLA_NOINLINE void raise_error(Error& error);
/// The pending exception, or an empty error. A `PanicException` of our own
/// coming back from Python code resumes the fault instead.
Error fetch_error();
/// `fetch_error`, or a `SystemError` when the interpreter set nothing.
Error fetch_error_or_system();
/// The exception object (borrowed from the error, which keeps it).
PyObject* normalize_error(Error& error);
bool error_matches(Error& error, PyObject* type);
/// `__cause__` of the exception as a new error, or an empty one.
Error error_cause(Error& error);
Ref into_exception(Error error);
void set_cause(Error& error, Error cause);
Error wrap_as_runtime_error(Error cause, std::string message);
/// Reports the error through `sys.unraisablehook` and drops it.
void write_unraisable(Error error, PyObject* object);
std::string error_debug_form(Error& error);

/// The class of internal faults as Python sees them (created on first need).
PyObject* panic_exception_type();
Error panic_exception_from_fault(Fault& fault);

// ---------------------------------------------------------------------------
// Text helpers shared by errors and the frame

/// UTF-8 of a `str`; lone surrogates are passed through and then replaced by
/// U+FFFD, so this never fails.
std::string lossless_utf8(PyObject* text);
/// UTF-8 of a `str`, or an error for a string that cannot be encoded.
Outcome<std::string_view> utf8_view(PyObject* text);
[[noreturn]] void null_object_fault(SourceLocation where);

#ifdef TARVELLA_FAULT_HOOKS
/// The test build's stand-in for a failing interpreter constructor: null,
/// with a `MemoryError` set or with nothing set, as the tests armed it.
PyObject* failing_constructor_hook(PyObject* object);
void arm_failing_constructors(int times, bool memory_error);
#endif

/// Checks that an interpreter constructor returned an object. Running out of
/// memory unwinds as `std::bad_alloc`; any other null is an internal fault.
inline Ref checked_new(PyObject* object,
                       SourceLocation where = SourceLocation::current()) {
#ifdef TARVELLA_FAULT_HOOKS
    object = failing_constructor_hook(object);
#endif
    if (object == nullptr) [[unlikely]]
        null_object_fault(where);
    return Ref::steal(object);
}

/// A new exact `str` from UTF-8 bytes; a failure here is an internal fault.
inline Ref new_text(std::string_view text) {
    return checked_new(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}
/// A new `str` from UTF-8 bytes as a call outcome.
Outcome<Ref> text_object(std::string_view text);

// ---------------------------------------------------------------------------
// Interned names

/// A fixed attribute name, made and interned once per interpreter lifetime.
struct InternedName {
    std::string_view text;
    std::atomic<PyObject*> cell{nullptr};
    /// The name filled before this one, so that all can be forgotten.
    InternedName* next = nullptr;
};

PyObject* interned_slow(InternedName& name);

/// The interned `str` (borrowed, valid for the process).
inline PyObject* interned(InternedName& name) {
    if (PyObject* made = name.cell.load(std::memory_order_acquire)) [[likely]]
        return made;
    return interned_slow(name);
}

// ---------------------------------------------------------------------------
// One-time cells whose value users can see

/// Serialises the filling of a one-time cell whose value users can tell
/// apart from another of its kind: a class. Filling by compare-and-swap
/// would let every thread that races to the first use make its own and drop
/// it after losing, and for a while users would see several classes.
/// Here the first thread makes it, and the others wait for it and make
/// nothing. (Cells whose values cannot be told apart, the interned names,
/// are filled by compare-and-swap.)
struct FillGate {
    std::mutex mutex;
    /// The thread making the value, while one is.
    std::atomic<std::thread::id> filler{};
};

/// Holds a gate's mutex. A thread that finds it held waits detached from
/// the interpreter: the filler may need the interpreter lock to finish, and
/// without the lock a stop-the-world pause (a collection) must not wait for
/// a thread that only waits. The mutex is owned by a member, so an unwind
/// out of the wait (a daemon thread ended while it takes the interpreter
/// back at shutdown) still releases it.
class GateHold {
public:
    explicit GateHold(FillGate& gate) : lock_(gate.mutex, std::try_to_lock) {
        if (!lock_.owns_lock()) {
            PyThreadState* saved = PyEval_SaveThread();
            lock_.lock();
            PyEval_RestoreThread(saved);
        }
    }
    GateHold(const GateHold&) = delete;
    GateHold& operator=(const GateHold&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
};

/// The value of `cell`, made by `make` (which returns a new reference, or an
/// error) when the cell is empty; every thread gets the one value made. Null
/// while this very thread is making it, for a making that comes back here
/// (fetching an error compares with the `PanicException` class).
template <class Make>
TARVELLA_NOINLINE Outcome<PyObject*> fill_once(std::atomic<PyObject*>& cell, FillGate& gate,
                                               Make&& make) {
    const std::thread::id me = std::this_thread::get_id();
    if (gate.filler.load(std::memory_order_relaxed) == me)
        return static_cast<PyObject*>(nullptr);
    GateHold hold(gate);
    if (PyObject* value = cell.load(std::memory_order_acquire))
        return value;
    gate.filler.store(me, std::memory_order_relaxed);
    struct Done {
        FillGate& gate;
        ~Done() { gate.filler.store(std::thread::id(), std::memory_order_relaxed); }
    } done{gate};
    Outcome<PyObject*> made = make();
    if (made.ok())
        cell.store(made.value(), std::memory_order_release);
    return made;
}

/// Empties the one-time cells of this unit (the `PanicException` class, the
/// interned names, the references waiting on the deferred list) without
/// touching what they held. Only for when the interpreter has finalised.
void forget_error_cells() noexcept;

// ---------------------------------------------------------------------------
// Guards

/// The outer guard of every function the interpreter calls: nothing escapes
/// it but the forced unwind that ends a daemon thread at shutdown. That one
/// passes because only the exceptions this module throws are caught, by
/// type: a catch-all would also catch the unwind, which libc++abi then
/// cannot rethrow.
template <class F>
inline decltype(auto) outer_guard(F&& body) {
    try {
        return body();
    } catch (const Fault&) {
        die_uncaught();
    } catch (const std::exception&) { // std::bad_alloc and the library's others
        die_uncaught();
    }
}

/// Runs `body` and turns an internal fault into a `PanicException` error,
/// and running out of memory into the `MemoryError` that Python code would
/// get in the same place.
template <class T, class F>
inline Outcome<T> fault_barrier(F&& body) {
    try {
        return body();
    } catch (Fault& caught) {
        return panic_exception_from_fault(caught);
    } catch (std::bad_alloc&) {
        return Error::out_of_memory();
    }
}

/// Holds the lock depth raised for the life of an entry adapter.
class Entry {
public:
    Entry() { enter_assumed(); }
    ~Entry() { leave_assumed(); }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
};

} // namespace tarvella
