#include "errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace tarvella {

constinit thread_local Py_ssize_t lock_depth TARVELLA_TLS_MODEL = 0;

// ---------------------------------------------------------------------------
// Deferred release list

struct DeferredReleases {
    std::mutex mutex;
    std::vector<PyObject*> pending;
    // Lets a drain skip the mutex when nothing waits, which is the usual case
    // once the list exists.
    std::atomic<bool> nonempty{false};
};

std::atomic<DeferredReleases*> deferred_releases{nullptr};

void defer_release(PyObject* object) noexcept {
    DeferredReleases* list = deferred_releases.load(std::memory_order_acquire);
    if (list == nullptr) {
        auto* fresh = new (std::nothrow) DeferredReleases;
        if (fresh == nullptr)
            return; // keeping the object alive is the only safe choice left
        if (deferred_releases.compare_exchange_strong(list, fresh, std::memory_order_acq_rel))
            list = fresh;
        else
            delete fresh;
    }
    try {
        std::lock_guard<std::mutex> hold(list->mutex);
        list->pending.push_back(object);
        list->nonempty.store(true, std::memory_order_release);
    } catch (...) {
        // Out of memory: leaking the reference beats releasing it unlocked.
    }
}

void drain_deferred(DeferredReleases* list) {
    if (!list->nonempty.load(std::memory_order_acquire))
        return;
    std::vector<PyObject*> taken;
    {
        std::lock_guard<std::mutex> hold(list->mutex);
        taken.swap(list->pending);
        list->nonempty.store(false, std::memory_order_relaxed);
    }
    // Released without the mutex: a finaliser run here may defer again.
    for (PyObject* object : taken)
        call_out([object] { Py_DECREF(object); });
}

void lock_depth_fault() {
    if (lock_depth == -1)
        fault("Attaching a thread to the interpreter is prohibited while a __traverse__ "
              "implementation is running.");
    fault("Attaching a thread to the interpreter is currently prohibited.");
}

namespace {
std::atomic<bool> interpreter_checked{false};
}

Attach::Attach() {
    if (lock_depth > 0) {
        ++lock_depth;
        drain_deferred_releases();
        return;
    }
    if (lock_depth < 0)
        lock_depth_fault();
    if (!interpreter_checked.load(std::memory_order_acquire)) {
        if (!Py_IsInitialized())
            fault("The Python interpreter is not initialized; tarvella cannot attach to it.");
        interpreter_checked.store(true, std::memory_order_release);
    }
    state_ = PyGILState_Ensure();
    ensured_ = true;
    if (lock_depth < 0) {
        PyGILState_Release(state_);
        lock_depth_fault();
    }
    ++lock_depth;
    drain_deferred_releases();
}

Attach::~Attach() {
    --lock_depth;
    if (ensured_)
        PyGILState_Release(state_);
}

// ---------------------------------------------------------------------------
// Faults

namespace {

const char* short_path(const char* file) {
    std::string_view path(file);
    auto at = path.rfind("src/");
    return at == std::string_view::npos ? file : file + at;
}

} // namespace

void report_fault(std::string_view message, const char* file, unsigned line) noexcept {
    char name[64] = "<unnamed>";
    if (!read_thread_name(name, sizeof name) || name[0] == '\0')
        std::snprintf(name, sizeof name, "<unnamed>");
    std::fprintf(stderr, "tarvella: internal fault in thread '%s' at %s:%u:\n%.*s\n", name,
                 short_path(file), line, static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

void fault(std::string message, SourceLocation where) {
    report_fault(message, where.file_name(), where.line());
    throw Fault{std::move(message)};
}

void die_uncaught() noexcept {
    report_fault("uncaught panic at ffi boundary", __FILE__, __LINE__);
    std::abort();
}

// ---------------------------------------------------------------------------
// Error values

enum class ErrorKind : unsigned char { text, mismatch, panic, normalized, out_of_memory };

struct ErrorState {
    ErrorKind kind;
    PyObject* type = nullptr; // a static class of the interpreter, for `text`
    std::string text;         // `text` and `panic`
    Ref object;               // `mismatch`: the object that failed the check
    Ref expected;             // `mismatch`: the class it should have had
    Ref exception;            // `normalized`
};

namespace {
/// Shared by every `MemoryError` made when nothing more can be allocated;
/// never changed (normalising one replaces it with a state of its own).
ErrorState out_of_memory_state = [] {
    ErrorState state{};
    state.kind = ErrorKind::out_of_memory;
    return state;
}();
} // namespace

void destroy_error_state(ErrorState* state) {
    if (state != &out_of_memory_state)
        delete state;
}

Error Error::out_of_memory() noexcept { return Error(&out_of_memory_state); }

Error Error::message(PyObject* type, std::string text) {
    auto* state = new ErrorState{};
    state->kind = ErrorKind::text;
    state->type = type;
    state->text = std::move(text);
    return Error(state);
}

Error Error::mismatch(PyObject* object, PyObject* expected) {
    auto* state = new ErrorState{};
    state->kind = ErrorKind::mismatch;
    state->object = Ref::borrow(object);
    state->expected = Ref::borrow(expected);
    return Error(state);
}

Error Error::panic(std::string text) {
    auto* state = new ErrorState{};
    state->kind = ErrorKind::panic;
    state->text = std::move(text);
    return Error(state);
}

Error Error::from_exception(Ref exception) {
    auto* state = new ErrorState{};
    state->kind = ErrorKind::normalized;
    state->exception = std::move(exception);
    return Error(state);
}

namespace {

std::string qualified_name(PyObject* type) {
    PyObject* name = PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type));
    if (name == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    Ref owned = Ref::steal(name);
    return lossless_utf8(name);
}

std::string mismatch_text(PyObject* object, PyObject* expected) {
    std::string text;
    if (object == Py_None) {
        text = "'None' is not an instance of '";
    } else {
        text = "'";
        text += qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(object)));
        text += "' object is not an instance of '";
    }
    text += qualified_name(expected);
    text += "'";
    return text;
}

/// Makes a lazy state the current exception; the state stays usable.
void raise_lazy(ErrorState& state) {
    PyObject* type = nullptr;
    Ref value;
    switch (state.kind) {
    case ErrorKind::text:
        type = state.type;
        value = Ref::steal(
            PyUnicode_FromStringAndSize(state.text.data(), Py_ssize_t(state.text.size())));
        break;
    case ErrorKind::mismatch: {
        type = PyExc_TypeError;
        std::string text = mismatch_text(state.object.get(), state.expected.get());
        value = Ref::steal(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
        break;
    }
    case ErrorKind::panic: {
        type = panic_exception_type();
        Ref text = Ref::steal(
            PyUnicode_FromStringAndSize(state.text.data(), Py_ssize_t(state.text.size())));
        if (text)
            value = Ref::steal(PyTuple_Pack(1, text.get()));
        break;
    }
    case ErrorKind::normalized:
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(state.exception.get())),
                        state.exception.get());
        return;
    case ErrorKind::out_of_memory:
        PyErr_NoMemory();
        return;
    }
    if (!value)
        return; // building the value failed: its own exception is now pending
    if (PyExceptionClass_Check(type))
        PyErr_SetObject(type, value.get());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

std::atomic<PyObject*> panic_cell{nullptr};

constexpr const char* panic_doc =
    "The exception raised when tarvella's native code meets an internal fault.\n"
    "\n"
    "Like SystemExit, it derives from BaseException and not from Exception, so\n"
    "that it usually propagates all the way up and ends the interpreter instead\n"
    "of being swallowed by an `except Exception` clause.";

[[noreturn]] void resume_fault(Ref exception) {
    std::string text;
    PyObject* shown = PyObject_Str(exception.get());
    if (shown == nullptr) {
        PyErr_Clear();
        text = "Unwrapped panic from Python code";
    } else {
        Ref owned = Ref::steal(shown);
        text = lossless_utf8(shown);
    }
    std::fputs("--- tarvella is resuming an internal fault after fetching a PanicException "
               "from Python ---\n",
               stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(exception.release());
    call_out([] { PyErr_PrintEx(0); });
    throw Fault{std::move(text)};
}

FillGate panic_gate;

/// Creates the class on its first need: the first fault converted or the
/// first exception fetched.
TARVELLA_NOINLINE PyObject* make_panic_exception_type() {
    Outcome<PyObject*> made = fill_once(panic_cell, panic_gate, []() -> Outcome<PyObject*> {
        PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                   PyExc_BaseException, nullptr);
        if (type == nullptr) {
            Error error = fetch_error_or_system();
            fault("Failed to initialize new exception type.: " + error_debug_form(error));
        }
        // Compared with every exception fetched, on every thread.
        make_immortal(type);
        return type;
    });
    return made.value();
}

} // namespace

PyObject* panic_exception_type() {
    if (PyObject* type = panic_cell.load(std::memory_order_acquire)) [[likely]]
        return type;
    return make_panic_exception_type();
}

Error panic_exception_from_fault(Fault& caught) {
    if (caught.message.empty())
        return Error::panic("tarvella met an internal fault without a message");
    return Error::panic(std::move(caught.message));
}

void restore_error(Error error) {
    ErrorState* state = error.state();
    if (state->kind == ErrorKind::normalized) {
        PyErr_SetRaisedException(state->exception.release());
        return;
    }
    try {
        raise_lazy(*state);
    } catch (std::bad_alloc&) {
        // Building the message took more memory than there is.
        PyErr_Clear();
        PyErr_NoMemory();
    }
}

Error fetch_error() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr)
        return Error();
    Ref exception = Ref::steal(raised);
    // The class must exist before the first comparison: user code that finds
    // it among BaseException's subclasses may hand one back to be resumed.
    if (reinterpret_cast<PyObject*>(Py_TYPE(raised)) == panic_exception_type())
        resume_fault(std::move(exception));
    return Error::from_exception(std::move(exception));
}

Error fetch_error_or_system() {
    if (Error error = fetch_error())
        return error;
    return Error::message(PyExc_SystemError, "attempted to fetch exception but none was set");
}

PyObject* normalize_error(Error& error) {
    ErrorState* state = error.state();
    if (state == &out_of_memory_state) {
        PyErr_NoMemory();
        error = Error::from_exception(Ref::steal(PyErr_GetRaisedException()));
        state = error.state();
    }
    if (state->kind != ErrorKind::normalized) {
        raise_lazy(*state);
        PyObject* raised = PyErr_GetRaisedException();
        if (raised == nullptr)
            fault("exception missing after writing to the interpreter");
        state->kind = ErrorKind::normalized;
        state->object = Ref();
        state->expected = Ref();
        state->text.clear();
        state->exception = Ref::steal(raised);
    }
    return state->exception.get();
}

bool error_matches(Error& error, PyObject* type) {
    PyObject* exception = normalize_error(error);
    return PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(exception)), type);
}

Error error_cause(Error& error) {
    PyObject* cause = PyException_GetCause(normalize_error(error));
    if (cause == nullptr)
        return Error();
    return Error::from_exception(Ref::steal(cause));
}

Ref into_exception(Error error) {
    normalize_error(error);
    return std::move(error.state()->exception);
}

void set_cause(Error& error, Error cause) {
    PyObject* exception = normalize_error(error);
    PyException_SetCause(exception, cause ? into_exception(std::move(cause)).release() : nullptr);
}

Error wrap_as_runtime_error(Error cause, std::string message) {
    Error wrapped = Error::message(PyExc_RuntimeError, std::move(message));
    set_cause(wrapped, std::move(cause));
    return wrapped;
}

void write_unraisable(Error error, PyObject* object) {
    restore_error(std::move(error));
    call_out([object] { PyErr_WriteUnraisable(object); });
}

namespace {

std::string repr_text(PyObject* object) {
    PyObject* shown = PyObject_Repr(object);
    if (shown == nullptr) {
        PyErr_Clear();
        return "<unrepresentable object>";
    }
    Ref owned = Ref::steal(shown);
    return lossless_utf8(shown);
}

std::string quoted_literal(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char escaped[16];
                std::snprintf(escaped, sizeof escaped, "\\u{%x}", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

/// The formatted traceback, or none when formatting failed (reported).
Outcome<std::string> formatted_traceback(PyObject* traceback) {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io)
        return fetch_error_or_system();
    Ref stream = Ref::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr));
    if (!stream)
        return fetch_error_or_system();
    if (PyTraceBack_Print(traceback, stream.get()) < 0)
        return fetch_error_or_system();
    Ref value = Ref::steal(PyObject_CallMethod(stream.get(), "getvalue", nullptr));
    if (!value)
        return fetch_error_or_system();
    if (!PyUnicode_Check(value.get()))
        return Error::mismatch(value.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type));
    return lossless_utf8(value.get());
}

} // namespace

std::string error_debug_form(Error& error) {
    Attach attached;
    PyObject* exception = normalize_error(error);
    std::string text = "PyErr { type: ";
    text += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    text += ", value: ";
    text += repr_text(exception);
    text += ", traceback: ";
    Ref traceback = Ref::steal(PyException_GetTraceback(exception));
    if (!traceback) {
        text += "None";
    } else {
        Outcome<std::string> formatted = formatted_traceback(traceback.get());
        if (formatted.ok()) {
            text += "Some(" + quoted_literal(formatted.value()) + ")";
        } else {
            write_unraisable(std::move(formatted.error()), traceback.get());
            text += "<unformattable " + repr_text(traceback.get()) + ">";
        }
    }
    text += " }";
    return text;
}

// ---------------------------------------------------------------------------
// Text helpers

std::string lossless_utf8(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* bytes = PyUnicode_AsUTF8AndSize(text, &size))
        return std::string(bytes, size_t(size));
    PyErr_Clear();
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!encoded) {
        PyErr_Clear();
        return std::string();
    }
    char* raw = nullptr;
    Py_ssize_t raw_size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &raw, &raw_size) < 0) {
        PyErr_Clear();
        return std::string();
    }
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(raw, raw_size, "replace"));
    const char* bytes = decoded ? PyUnicode_AsUTF8AndSize(decoded.get(), &size) : nullptr;
    if (bytes == nullptr) {
        PyErr_Clear();
        return std::string();
    }
    return std::string(bytes, size_t(size));
}

Outcome<std::string_view> utf8_view(PyObject* text) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (bytes == nullptr)
        return fetch_error_or_system();
    return std::string_view(bytes, size_t(size));
}

void null_object_fault(SourceLocation where) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        // Not a broken invariant: the caller gets the MemoryError that the
        // fault barrier makes of this.
        PyErr_Clear();
        throw std::bad_alloc();
    }
    if (PyErr_Occurred())
        PyErr_WriteUnraisable(nullptr);
    fault("PyObject pointer is null", where);
}

Outcome<Ref> text_object(std::string_view text) { return new_text(text); }

void raise_error(Error& error) { restore_error(std::move(error)); }

#ifdef TARVELLA_FAULT_HOOKS
namespace {
std::atomic<int> failing_constructors{0};
bool failing_with_memory_error = true;
} // namespace

void arm_failing_constructors(int times, bool memory_error) {
    failing_with_memory_error = memory_error;
    failing_constructors.store(times);
}

PyObject* failing_constructor_hook(PyObject* object) {
    if (object == nullptr || failing_constructors.load() <= 0)
        return object;
    failing_constructors.fetch_sub(1);
    Py_DecRef(object);
    if (failing_with_memory_error)
        PyErr_NoMemory();
    return nullptr;
}
#endif

namespace {
/// The interned names filled so far, latest first.
std::atomic<InternedName*> filled_names{nullptr};
} // namespace

PyObject* interned_slow(InternedName& name) {
    PyObject* made = new_text(name.text).release();
    PyUnicode_InternInPlace(&made);
    PyObject* expected = nullptr;
    if (!name.cell.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        release_reference(made);
        return expected;
    }
    name.next = filled_names.load(std::memory_order_relaxed);
    while (!filled_names.compare_exchange_weak(name.next, &name, std::memory_order_acq_rel)) {
    }
    return made;
}

void forget_error_cells() noexcept {
    panic_cell.store(nullptr, std::memory_order_release);
    for (InternedName* name = filled_names.exchange(nullptr); name != nullptr;) {
        name->cell.store(nullptr, std::memory_order_release);
        name = std::exchange(name->next, nullptr);
    }
    // What waits here belonged to the finished interpreter.
    if (DeferredReleases* list = deferred_releases.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> hold(list->mutex);
        list->pending.clear();
        list->nonempty.store(false, std::memory_order_relaxed);
    }
    interpreter_checked.store(false, std::memory_order_release);
}

} // namespace tarvella
