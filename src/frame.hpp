// The call frame: how every method and slot of the two classes is entered.
//
// An entry adapter (the C function in a method or slot table) arms the outer
// guard, raises the lock depth, runs the member wrapper behind the fault
// barrier and converts the outcome into the interpreter's convention. The
// wrapper extracts the arguments by the member's constexpr `ArgSpec`, checks
// and borrows the receiver, converts each argument by the type the body
// declares for it, and runs the body.
#pragma once

#include "errors.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>

namespace tarvella {

// ---------------------------------------------------------------------------
// Instances and borrows

/// The record behind every instance: header, payload, borrow flag.
template <class Payload>
struct Instance {
    PyObject header;
    Payload payload;
    /// 0: free; n > 0: n shared borrows; -1: exclusively borrowed.
    std::atomic<Py_ssize_t> borrow;
};

template <class Payload>
inline Instance<Payload>* instance_of(PyObject* object) noexcept {
    return reinterpret_cast<Instance<Payload>*>(object);
}

Error already_borrowed_error();
/// The error for an instance whose payload was never filled in.
Error uninitialised_error(PyObject* type);

/// A shared borrow of the instance whose flag is `flag` (see
/// `take_shared_borrow` for what each build flavour counts).
inline Error borrow_shared(std::atomic<Py_ssize_t>& flag) {
    if (!take_shared_borrow(flag)) [[unlikely]]
        return already_borrowed_error();
    return Error();
}

inline void release_shared(std::atomic<Py_ssize_t>& flag) noexcept { release_shared_borrow(flag); }

/// `body()` under the shared borrow just taken on `flag`, released on every
/// path: an internal fault releases it while it unwinds, the shutdown unwind
/// of a daemon thread (which holds no lock any more) leaves it alone. The
/// unwinding paths are a guard's (see `OnUnwind`). Always inlined: GCC's
/// flattening of an entry adapter can leave it a call, and the body with it.
template <class Body>
TARVELLA_ALWAYS_INLINE auto while_borrowed(std::atomic<Py_ssize_t>& flag, Body&& body) -> decltype(body()) {
    OnUnwind unwound([&flag] {
        if (lock_depth > 0)
            release_shared(flag);
    });
    auto outcome = body();
    unwound.dismiss();
    release_shared(flag);
    return outcome;
}

inline bool is_instance(PyObject* object, PyObject* type) {
    PyTypeObject* actual = Py_TYPE(object);
    return reinterpret_cast<PyObject*>(actual) == type ||
           PyType_IsSubtype(actual, reinterpret_cast<PyTypeObject*>(type));
}

/// The `TypeError` of a failed type check; formatted only if it is raised.
inline Error type_mismatch_error(PyObject* object, PyObject* expected) {
    return Error::mismatch(object, expected);
}

inline Error check_receiver(PyObject* object, PyObject* type) {
    if (is_instance(object, type)) [[likely]]
        return Error();
    return type_mismatch_error(object, type);
}

// ---------------------------------------------------------------------------
// Argument descriptors and extraction

struct KeywordOnly {
    std::string_view name;
    bool required;
};

struct ArgSpec {
    std::string_view class_name;
    std::string_view method_name;
    /// The parameter names, each interned once per process on first use.
    std::span<InternedName> positional;
    std::size_t required_count = 0;
    std::size_t positional_only_count = 0;
    std::span<const KeywordOnly> keyword_only = {};

    constexpr std::size_t cell_count() const { return positional.size() + keyword_only.size(); }
    constexpr std::string_view name_of(std::size_t cell) const {
        return cell < positional.size() ? positional[cell].text
                                        : keyword_only[cell - positional.size()].name;
    }
};

Error extract_fast_slow(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, PyObject** cells);

/// The extraction of a call with keywords, or with a count of positional
/// arguments out of range. Keywords written at the call site come with
/// names that are the very interned strings the parameter names are, so a
/// pointer comparison places each; anything else, errors included, takes the
/// full algorithm, which starts again from empty cells. Out of line, so that
/// the positional path keeps its registers; made for each descriptor, so
/// that the search over its parameters is unrolled.
template <const ArgSpec& Spec, std::size_t N>
TARVELLA_NOINLINE Error extract_fast_keywords(PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames, std::array<PyObject*, N>& cells) {
    cells = {};
    if (kwnames != nullptr && std::size_t(nargs) <= Spec.positional.size() &&
        Spec.keyword_only.empty()) {
        for (Py_ssize_t i = 0; i < nargs; ++i)
            cells[std::size_t(i)] = args[i];
        const Py_ssize_t count = PyTuple_Size(kwnames);
        bool placed = true;
        for (Py_ssize_t i = 0; placed && i < count; ++i) {
            PyObject* name = PyTuple_GetItem(kwnames, i);
            placed = false;
            for (std::size_t k = Spec.positional_only_count; k < Spec.positional.size(); ++k) {
                if (interned(Spec.positional[k]) == name) {
                    placed = cells[k] == nullptr;
                    cells[k] = args[nargs + i];
                    break;
                }
            }
        }
        for (std::size_t k = 0; placed && k < Spec.required_count; ++k)
            placed = cells[k] != nullptr;
        if (placed) [[likely]]
            return Error();
        cells = {};
    }
    return extract_fast_slow(Spec, args, nargs, kwnames, cells.data());
}

/// Fills `cells` (all null on entry) from a vectorcall.
template <const ArgSpec& Spec, std::size_t N>
TARVELLA_ALWAYS_INLINE Error extract_fast_arguments(PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames,
                                                    std::array<PyObject*, N>& cells) {
    // The common call: positional arguments only, within the accepted range.
    if (kwnames == nullptr && std::size_t(nargs) >= Spec.required_count &&
        std::size_t(nargs) <= Spec.positional.size() && Spec.keyword_only.empty()) [[likely]] {
        for (Py_ssize_t i = 0; i < nargs; ++i)
            cells[std::size_t(i)] = args[i];
        return Error();
    }
    // The slow path fills a copy, so that the cells themselves never have
    // their address taken and can stay in registers.
    std::array<PyObject*, N> filled;
    Error error = extract_fast_keywords<Spec>(args, nargs, kwnames, filled);
    cells = filled;
    return error;
}

Error extract_tuple_slow(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                         PyObject** cells);

/// Fills `cells` from a tuple and an optional keyword dictionary.
inline Error extract_tuple_arguments(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                                     PyObject** cells) {
    if (kwargs == nullptr && spec.keyword_only.empty()) [[likely]] {
        const Py_ssize_t nargs = PyTuple_Size(args);
        if (std::size_t(nargs) >= spec.required_count &&
            std::size_t(nargs) <= spec.positional.size()) [[likely]] {
            for (Py_ssize_t i = 0; i < nargs; ++i)
                cells[i] = PyTuple_GetItem(args, i);
            return Error();
        }
    }
    return extract_tuple_slow(spec, args, kwargs, cells);
}

// ---------------------------------------------------------------------------
// Argument conversions. A body names what it wants by the types of its
// parameters; the frame converts each cell accordingly.

/// Any object, borrowed.
struct Object {
    PyObject* object = nullptr;
};
/// Any object; null when the argument is missing or `None`.
struct OptionalObject {
    PyObject* object = nullptr;
};
/// The UTF-8 of a `str`, valid for the call.
struct Text {
    std::string_view text;
};
/// As `Text`, or nothing when the argument is missing or `None`.
struct OptionalText {
    std::optional<std::string_view> text;
};
/// A `dict` or an instance of a subclass, borrowed.
struct Dictionary {
    PyObject* object = nullptr;
};

inline Error convert(PyObject* cell, Object& out) {
    out.object = cell;
    return Error();
}
inline Error convert(PyObject* cell, OptionalObject& out) {
    out.object = cell == Py_None ? nullptr : cell;
    return Error();
}
Error to_text_slow(PyObject* object, std::string_view& out);
/// The UTF-8 of a `str` (or subclass), or the error to report.
TARVELLA_ALWAYS_INLINE Error to_text(PyObject* object, std::string_view& out) {
    // An exact `str` with its UTF-8 at hand is the usual case; the flag test
    // of the general one is a call under the stable ABI.
    if (Py_IS_TYPE(object, &PyUnicode_Type)) [[likely]] {
        Py_ssize_t size = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(object, &size);
        if (bytes == nullptr) [[unlikely]]
            return fetch_error_or_system(); // lone surrogates
        out = std::string_view(bytes, std::size_t(size));
        return Error();
    }
    std::string_view text;
    Error error = to_text_slow(object, text);
    out = text;
    return error;
}
inline Error convert(PyObject* cell, Text& out) { return to_text(cell, out.text); }
inline Error convert(PyObject* cell, OptionalText& out) {
    if (cell == nullptr || cell == Py_None) {
        out.text.reset();
        return Error();
    }
    std::string_view text;
    Error error = to_text(cell, text);
    if (!error)
        out.text = text;
    return error;
}
inline Error convert(PyObject* cell, Dictionary& out) {
    if (!Py_IS_TYPE(cell, &PyDict_Type) && !PyDict_Check(cell))
        return type_mismatch_error(cell, reinterpret_cast<PyObject*>(&PyDict_Type));
    out.object = cell;
    return Error();
}

/// Rewrites a conversion's `TypeError` as "argument '<name>': ...".
Error wrap_argument_error(std::string_view parameter, Error error);
/// The text of an object for a message; never fails.
std::string object_text(PyObject* object);

// ---------------------------------------------------------------------------
// Calling user code

/// `function(args...)` through vectorcall: positional arguments only, laid
/// out behind one free slot so that a bound method can use it, no tuple.
template <class... Args>
inline Outcome<Ref> call_function(PyObject* function, Args... args) {
    PyObject* slots[] = {nullptr, args...};
    constexpr std::size_t count = sizeof...(Args);
    PyObject* result = call_out([&] {
        return PyObject_Vectorcall(function, slots + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr);
    });
    if (result == nullptr)
        return fetch_error_or_system();
    return Ref::steal(result);
}

// ---------------------------------------------------------------------------
// The C stack
//
// The paths that go through the values an instance holds (its text form,
// pickling it, releasing what it held) take one level of C frames per level
// of nesting of those values. CPython 3.12 and 3.13 count such nesting in
// calls, not in bytes: a value nested deeply enough exhausts a thread's stack
// before the count trips, the sooner the larger the frames. These paths
// therefore also ask how much of the real stack remains.

struct StackBounds {
    /// Below this address the thread is short of stack: the lowest address
    /// of its stack plus a margin. The highest address until the bounds are
    /// read, on the first question on this thread; 0 where they cannot be.
    std::uintptr_t soft_limit;
    /// The lowest address of the thread's own stack.
    std::uintptr_t low;
};
extern constinit thread_local StackBounds stack_bounds TARVELLA_TLS_MODEL;

bool stack_runs_low_slow(std::uintptr_t here);

/// Whether less stack remains on this thread than a further level of a
/// nested value should be given. One thread-local load and a comparison.
TARVELLA_ALWAYS_INLINE bool stack_runs_low() {
    const std::uintptr_t here = stack_position();
    if (here < stack_bounds.soft_limit) [[unlikely]]
        return stack_runs_low_slow(here);
    return false;
}

/// The `RecursionError` of a path that stops for want of stack, worded as
/// the interpreter's own; `where` completes it as the interpreter's does
/// (" while getting the str of an object").
TARVELLA_COLD Error stack_exhausted_error(std::string_view where);

/// Marks a member whose body runs no Python code (see `with_instance`).
/// Members that run it only for some receivers name instead a test of the
/// payload that says when they do not.
inline constexpr bool quiet = true;

/// Whether a member with the quietness `Quiet` runs user code on this
/// payload, and so must hold something while it does.
template <auto Quiet, class Payload>
TARVELLA_ALWAYS_INLINE bool runs_user_code(const Payload& payload) {
    if constexpr (std::is_same_v<decltype(Quiet), bool>)
        return !Quiet;
    else
        return !Quiet(payload);
}

/// What a member holds while its body runs user code. Callers may pass the
/// receiver borrowed (a list's repr does), and that code may drop every
/// other reference to it. Where giving the borrow back writes the instance,
/// the receiver itself is held. Elsewhere nothing touches the instance once
/// user code runs, and holding only the object of the payload that the code
/// is handed borrowed is enough: a receiver shared by many threads then has
/// its count changed by the interpreter alone, not twice more per call.
template <class Class, auto Quiet>
TARVELLA_ALWAYS_INLINE Ref hold_while_running(PyObject* self,
                                              const typename Class::Payload& payload) {
    if (!runs_user_code<Quiet>(payload))
        return Ref();
    if constexpr (release_writes_instance) {
        return Ref::borrow(self);
    } else {
        PyObject* handed = Class::handed_out(payload);
        return handed != nullptr ? Ref::borrow(handed) : Ref();
    }
}

/// Parameter lists that members of both classes share.
inline InternedName message_params[] = {{"message"}};
inline InternedName default_params[] = {{"default"}};
inline InternedName func_params[] = {{"func"}};
inline InternedName item_params[] = {{"_item"}};

// ---------------------------------------------------------------------------
// Test-only fault injection

#ifdef TARVELLA_FAULT_HOOKS
void before_body_hook();
inline void before_body() { before_body_hook(); }
#else
inline void before_body() {}
#endif

// ---------------------------------------------------------------------------
// Member wrappers and entry adapters
//
// `Class` provides `using Payload = ...;`, `static PyObject* type();` and
// `static bool initialised(const Payload&);`.
//
// Each entry adapter is flattened: the frame's steps, the body and what they
// call in the same unit become one function. Left to its own budgets, GCC
// stops inlining part-way through the larger units, and what stays a call
// (the allocation, a text conversion, a dictionary lookup) costs up to a
// fifth of a member's own instructions. Cold paths stay out of line where
// they are marked so.

namespace detail {

template <class F>
struct Signature;
template <class R, class... A>
struct Signature<R (*)(A...)> {
    using Params = std::tuple<std::remove_cvref_t<A>...>;
};

template <class Tuple>
struct DropFirst;
template <class First, class... Rest>
struct DropFirst<std::tuple<First, Rest...>> {
    using Type = std::tuple<Rest...>;
};

/// Converts cell `I`; a failure is left in `failure`, rewritten to name the
/// parameter, and answers false.
template <const ArgSpec& Spec, std::size_t I, class Tuple>
inline bool convert_one(PyObject** cells, Tuple& converted, Error& failure) {
    failure = convert(cells[I], std::get<I>(converted));
    if (!failure)
        return true;
    failure = wrap_argument_error(Spec.name_of(I), std::move(failure));
    return false;
}

/// Converts the cells in parameter order; the first failure ends it.
template <const ArgSpec& Spec, class Tuple>
inline Error convert_all(PyObject** cells, Tuple& converted) {
    Error failure;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (void)(convert_one<Spec, I>(cells, converted, failure) && ...);
    }(std::make_index_sequence<std::tuple_size_v<Tuple>>{});
    return failure;
}

} // namespace detail

/// Runs `body(payload)` on `self`, which must be an initialised instance of
/// `Class`, under a shared borrow: for receivers, and for the instances that
/// user functions return to the chaining members. `Checked` says that the
/// interpreter has already checked the type of `self`, as it does for the
/// receiver of every method and slot other than the binary operators: the
/// method descriptors and slot wrappers refuse any other object before the
/// call, and the classes cannot be subclassed. The test would always pass.
/// `Quiet` (always, or for the payloads its test accepts) says that the body
/// runs no Python code and releases nothing with a finaliser, so nothing can
/// drop the receiver while it is borrowed, and holding it would only cost.
/// Allocating is allowed: since 3.12 the collector runs only where the
/// evaluation loop checks for pending work, never inside an allocation.
template <class Class, class T, bool Checked = false, auto Quiet = false, class Body>
TARVELLA_ALWAYS_INLINE Outcome<T> with_instance(PyObject* self, Body&& body) {
    if constexpr (!Checked) {
        if (Error error = check_receiver(self, Class::type())) [[unlikely]]
            return error;
    }
    auto* instance = instance_of<typename Class::Payload>(self);
    if (!Class::initialised(instance->payload)) [[unlikely]]
        return uninitialised_error(Class::type());
    Ref held = hold_while_running<Class, Quiet>(self, instance->payload);
    if (Error error = borrow_shared(instance->borrow)) [[unlikely]]
        return error;
    return while_borrowed(instance->borrow, [&] {
        return body(static_cast<const typename Class::Payload&>(instance->payload));
    });
}

/// The steps every entry adapter shares: outer guard, lock depth, fault
/// barrier, then the interpreter's convention for the outcome (a new
/// reference or NULL; for numbers the value or -1), with the error raised.
template <class Wrapper>
inline PyObject* object_entry(Wrapper&& wrapper) {
    return outer_guard([&]() -> PyObject* {
        Entry entry;
        Outcome<Ref> outcome = fault_barrier<Ref>(wrapper);
        if (outcome.ok()) [[likely]]
            return outcome.value().release();
        raise_error(outcome.error());
        return nullptr;
    });
}

template <class T, class Wrapper>
inline T number_entry(Wrapper&& wrapper) {
    return outer_guard([&]() -> T {
        Entry entry;
        Outcome<T> outcome = fault_barrier<T>(wrapper);
        if (outcome.ok()) [[likely]]
            return outcome.value();
        raise_error(outcome.error());
        return -1;
    });
}

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

/// Instance method, fast call with keywords.
template <class Class, const ArgSpec& Spec, auto Body, auto Quiet = false>
TARVELLA_FLATTEN PyObject* method_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return object_entry([&]() -> Outcome<Ref> {
        std::array<PyObject*, Spec.cell_count()> cells{};
        if (Error error = extract_fast_arguments<Spec>(args, nargs, kwnames, cells))
            return error;
        return with_instance<Class, Ref, true, Quiet>(self, [&](const auto& payload) -> Outcome<Ref> {
            typename detail::DropFirst<typename detail::Signature<decltype(Body)>::Params>::Type
                converted;
            if (Error error = detail::convert_all<Spec>(cells.data(), converted))
                return error;
            before_body();
            return std::apply([&](auto&... arg) { return Body(payload, arg...); }, converted);
        });
    });
}

/// Instance method without arguments; also `__repr__` and `__iter__`.
template <class Class, auto Body, auto Quiet = false>
TARVELLA_FLATTEN PyObject* method_noargs(PyObject* self, PyObject*) {
    return object_entry([&]() -> Outcome<Ref> {
        return with_instance<Class, Ref, true, Quiet>(self, [&](const auto& payload) {
            before_body();
            return Body(payload);
        });
    });
}

template <class Class, auto Body, auto Quiet = false>
PyObject* unary_slot(PyObject* self) {
    return method_noargs<Class, Body, Quiet>(self, nullptr);
}

/// Static method, fast call with keywords.
template <const ArgSpec& Spec, auto Body>
TARVELLA_FLATTEN PyObject* static_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return object_entry([&]() -> Outcome<Ref> {
        std::array<PyObject*, Spec.cell_count()> cells{};
        if (Error error = extract_fast_arguments<Spec>(args, nargs, kwnames, cells))
            return error;
        typename detail::Signature<decltype(Body)>::Params converted;
        if (Error error = detail::convert_all<Spec>(cells.data(), converted))
            return error;
        before_body();
        return std::apply(Body, converted);
    });
}

/// Static method without arguments.
template <auto Body>
TARVELLA_FLATTEN PyObject* static_noargs(PyObject*, PyObject*) {
    return object_entry([&]() -> Outcome<Ref> {
        before_body();
        return Body();
    });
}

/// Class method, fast call with keywords; the class is not examined.
template <const ArgSpec& Spec, auto Body>
TARVELLA_FLATTEN PyObject* class_fast(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return object_entry([&]() -> Outcome<Ref> {
        std::array<PyObject*, Spec.cell_count()> cells{};
        if (Error error = extract_fast_arguments<Spec>(args, nargs, kwnames, cells))
            return error;
        typename detail::DropFirst<typename detail::Signature<decltype(Body)>::Params>::Type
            converted;
        if (Error error = detail::convert_all<Spec>(cells.data(), converted))
            return error;
        before_body();
        return std::apply([&](auto&... arg) { return Body(cls, arg...); }, converted);
    });
}

/// `__bool__` (T = int) and `__len__` (T = Py_ssize_t).
template <class Class, class T, auto Body, auto Quiet = false>
TARVELLA_FLATTEN T number_slot(PyObject* self) {
    return number_entry<T>([&]() -> Outcome<T> {
        return with_instance<Class, T, true, Quiet>(self, [&](const auto& payload) -> Outcome<T> {
            before_body();
            return static_cast<T>(Body(payload));
        });
    });
}

/// `|` and `>>`: a left operand of another class, or one that cannot be
/// borrowed, answers `NotImplemented` so the interpreter can try elsewhere.
template <class Class, auto Body, auto Quiet = false>
TARVELLA_FLATTEN PyObject* operator_slot(PyObject* left, PyObject* right) {
    return object_entry([&]() -> Outcome<Ref> {
        // The check's error would be dropped unraised, so none is built.
        if (!is_instance(left, Class::type()))
            return Ref::borrow(Py_NotImplemented);
        auto* instance = instance_of<typename Class::Payload>(left);
        if (!Class::initialised(instance->payload))
            return Ref::borrow(Py_NotImplemented);
        Ref held = hold_while_running<Class, Quiet>(left, instance->payload);
        if (borrow_shared(instance->borrow))
            return Ref::borrow(Py_NotImplemented);
        return while_borrowed(instance->borrow, [&] {
            before_body();
            return Body(static_cast<const typename Class::Payload&>(instance->payload), right);
        });
    });
}

} // namespace tarvella
