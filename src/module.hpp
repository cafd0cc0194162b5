// The module's spine: class specs and their cells, instance allocation and
// deallocation, and the execution step that adds the classes to the module.
#pragma once

#include "frame.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>

namespace tarvella {

// ---------------------------------------------------------------------------
// Constant tables that describe a class

struct MethodEntry {
    const char* name;
    int flags;
    const char* doc;
    union {
        PyCFunction noargs;
        FastFunction fast;
    };

    constexpr MethodEntry(const char* name, PyCFunction function, int flags, const char* doc)
        : name(name), flags(flags), doc(doc), noargs(function) {}
    constexpr MethodEntry(const char* name, FastFunction function, int flags, const char* doc)
        : name(name), flags(flags), doc(doc), fast(function) {}

    PyCFunction function() const {
        return (flags & METH_FASTCALL) ? reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast))
                                       : noargs;
    }
};

struct SlotEntry {
    enum Kind : unsigned char { unary, truth, length, binary, constructor };
    int slot;
    Kind kind;
    union {
        unaryfunc unary_fn;
        inquiry truth_fn;
        lenfunc length_fn;
        binaryfunc binary_fn;
        newfunc constructor_fn;
    };

    constexpr SlotEntry(int slot, unaryfunc f) : slot(slot), kind(unary), unary_fn(f) {}
    constexpr SlotEntry(int slot, inquiry f) : slot(slot), kind(truth), truth_fn(f) {}
    constexpr SlotEntry(int slot, lenfunc f) : slot(slot), kind(length), length_fn(f) {}
    constexpr SlotEntry(int slot, binaryfunc f) : slot(slot), kind(binary), binary_fn(f) {}
    constexpr SlotEntry(int slot, newfunc f) : slot(slot), kind(constructor), constructor_fn(f) {}

    void* pointer() const;
};

struct ClassSpec {
    std::string_view name;   // "Result"
    const char* spec_name;   // "builtins.Result"
    const char* doc;
    unsigned flags;
    int basic_size;
    std::span<const MethodEntry> methods;
    std::span<const SlotEntry> slots;
    destructor dealloc;
    traverseproc traverse;
    /// Moves the object references out of an instance's payload into
    /// `held[0..1]` and frees the rest of it.
    void (*take_references)(PyObject* self, PyObject** held);
    /// What a pickled or copied instance travels as, and the new instance
    /// made back from such a state. `from_state` validates all of the state
    /// before it builds anything: pickles come from outside.
    Outcome<Ref> (*state_of)(PyObject* self);
    Outcome<Ref> (*from_state)(PyObject* state);
};

/// The link of a kept instance block to the next, in its first payload word.
inline PyObject*& next_free_block_of(PyObject* block) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(block) + sizeof(PyObject));
}

/// Instance blocks of one class kept for reuse, as the interpreter keeps
/// those of its tuples and lists: a block taken from here skips the
/// allocator and the collector's per-object count, which cost about as much
/// as the rest of a constructor. With the interpreter lock, one list per
/// class, used only under the lock; without it, one per class and thread
/// (see `ThreadBlocks`).
struct FreeBlocks {
    static constexpr int capacity = 80;
    /// Linked through the first payload word; each block is untracked, holds
    /// no reference but the one to its class where `blocks_hold_class` says
    /// so, and keeps its collector header.
    PyObject* top = nullptr;
    int count = 0;

    void push(PyObject* block) noexcept {
        next_free_block_of(block) = top;
        top = block;
        ++count;
    }
    /// The top block; the list must not be empty.
    PyObject* pop() noexcept {
        PyObject* block = top;
        top = next_free_block_of(block);
        --count;
        return block;
    }
    /// How many may be kept: `capacity`, set when the class is stored, or 0.
    /// A debug build of the interpreter keeps none: it counts every
    /// reference made, and a reused block's first one cannot be counted
    /// without a call on every allocation.
    int limit = 0;
};


/// Holds one class object for the rest of the process, built on first need.
struct ClassCell {
    explicit constexpr ClassCell(const ClassSpec& spec) noexcept : spec(spec) {}

    const ClassSpec& spec;
    std::atomic<PyObject*> type{nullptr};
    FillGate gate;
    FreeBlocks free_blocks;
};

/// The two cells that the execution step adds, in their unit of definition.
extern ClassCell maybe_cell;
extern ClassCell result_cell;

/// A thread's own lists, MayBe's then Result's, where blocks are kept per
/// thread (`per_thread_blocks`). A thread keeps only blocks that it
/// allocated itself (see `keepable_here`), so the lists need no lock; what
/// they need is care at the two ends of their life. When the thread ends,
/// its blocks go to a process-wide list, and the next thread that finds its
/// own list empty frees them (freeing needs an attached thread, which an
/// ending one no longer has); reused, they would give live threads blocks
/// side by side from one dead thread's pages. When the interpreter is
/// finalised, the blocks of every thread belong to an allocator that may be
/// gone: the lifetime count moves on, and a list of an older lifetime is set
/// aside unused, by its own thread, the next time it is touched.
struct ThreadBlocks {
    FreeBlocks lists[2];
    /// The interpreter lifetime the blocks come from; 0 before the first.
    std::uint64_t lifetime = 0;
};
extern constinit thread_local ThreadBlocks thread_blocks TARVELLA_TLS_MODEL;
/// The current interpreter lifetime, from 1; moved on at finalisation.
extern std::atomic<std::uint64_t> blocks_lifetime;
/// How many blocks a thread keeps per class (`FreeBlocks::limit`).
extern std::atomic<int> thread_block_limit;

PyObject* take_block_slow(ClassCell& cell);
bool keep_block_slow(ClassCell& cell, PyObject* block);

inline FreeBlocks& free_blocks_of(ClassCell& cell) {
    if constexpr (per_thread_blocks)
        return thread_blocks.lists[&cell == &result_cell ? 1 : 0];
    else
        return cell.free_blocks;
}

/// Whether this thread's lists must be brought into the current interpreter
/// lifetime before use (per-thread lists only; see `ThreadBlocks`).
TARVELLA_ALWAYS_INLINE bool blocks_outlived() {
    if constexpr (per_thread_blocks)
        return thread_blocks.lifetime != blocks_lifetime.load(std::memory_order_relaxed);
    else
        return false;
}

/// A kept block of `cell`'s class, or null.
TARVELLA_ALWAYS_INLINE PyObject* take_block(ClassCell& cell) {
    FreeBlocks& blocks = free_blocks_of(cell);
    if (blocks.top == nullptr || blocks_outlived()) [[unlikely]] {
        if constexpr (per_thread_blocks)
            return take_block_slow(cell);
        return nullptr;
    }
    return blocks.pop();
}

/// Keeps `block`, an untracked instance of `cell`'s class whose payload is
/// released, for reuse; false when there is no room for it.
TARVELLA_ALWAYS_INLINE bool keep_block(ClassCell& cell, PyObject* block) {
    FreeBlocks& blocks = free_blocks_of(cell);
    if (blocks.count >= blocks.limit || blocks_outlived()) [[unlikely]] {
        if constexpr (per_thread_blocks)
            return keep_block_slow(cell, block);
        return false;
    }
    blocks.push(block);
    return true;
}

/// The class object (borrowed, valid for the process) or an error value.
Outcome<PyObject*> get_class_object(ClassCell& cell);
PyObject* require_class_slow(ClassCell& cell);

/// The class object; a failure to build it is an internal fault.
inline PyObject* require_class_object(ClassCell& cell) {
    if (PyObject* type = cell.type.load(std::memory_order_acquire)) [[likely]]
        return type;
    return require_class_slow(cell);
}

#ifdef TARVELLA_FAULT_HOOKS
/// Whether the test build was told to fail this allocation.
bool take_failing_allocation();
#endif


/// A new zero-filled instance of `type`, the class object of `cell`. What
/// `object.__new__(type)` does for these classes, minus the argument tuple
/// and the checks of it, which cannot fail here: this is on the path of
/// every new instance.
template <class Payload>
TARVELLA_ALWAYS_INLINE Outcome<Ref> alloc_instance(ClassCell& cell, PyObject* type) {
#ifdef TARVELLA_FAULT_HOOKS
    if (take_failing_allocation()) {
        PyErr_NoMemory();
        return fetch_error_or_system();
    }
#endif
    if (PyObject* block = take_block(cell)) [[likely]] {
        // Everything a fresh allocation sets: the record zeroed (field by
        // field, so that the stores the caller makes next replace these),
        // the class and the reference an instance holds to it, a count of
        // one, and tracking.
        Instance<Payload>* instance = instance_of<Payload>(block);
        instance->payload = Payload{};
        instance->borrow.store(0, std::memory_order_relaxed);
        Py_SET_TYPE(block, reinterpret_cast<PyTypeObject*>(type));
        if constexpr (!blocks_hold_class)
            Py_INCREF(type);
        set_new_object_count(block);
        PyObject_GC_Track(block);
        return Ref::steal(block);
    }
    PyObject* made = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (made == nullptr) [[unlikely]]
        return fetch_error_or_system();
    return Ref::steal(made);
}

/// Sets the kept blocks of both classes aside for good, unfreed, for when the
/// interpreter that allocated them is finalised: its allocator may be gone.
void forget_free_blocks() noexcept;

/// Releases what a dying payload held (`held[0..1]`, either may be null),
/// some of it perhaps for the last time, without a C stack frame per level
/// of the values nested in it.
void release_nested(PyObject** held);


/// Whether releasing `object` (not null) may free it.
inline bool dies_with_release(PyObject* object) {
    return object != nullptr && sole_reference(object);
}

/// Releases what a dying payload held. Only the release of a last reference
/// frees anything, and so only it can nest: it takes the path that keeps the
/// C stack flat (`release_nested`).
TARVELLA_ALWAYS_INLINE void release_held(PyObject** held) {
    if (dies_with_release(held[0]) || dies_with_release(held[1])) [[unlikely]] {
        release_nested(held);
        return;
    }
    if (held[0] != nullptr)
        release_reference(held[0]);
    if (held[1] != nullptr)
        release_reference(held[1]);
}

/// `ClassSpec::take_references` of a class.
template <class Class>
void take_references(PyObject* self, PyObject** held) {
    Class::take_references(instance_of<typename Class::Payload>(self)->payload, held);
}

/// Frees an instance whose count reached zero. There is no fault barrier
/// here, so a fault ends the process.
template <class Class>
TARVELLA_FLATTEN void instance_dealloc(PyObject* self) {
    // Untracked first: releasing the payload may run a collection, which must
    // not find a half-emptied instance with a count of zero.
    PyObject_GC_UnTrack(self);
    outer_guard([self] {
        Entry entry;
        PyObject* held[2] = {nullptr, nullptr};
        Class::template take_references<false>(instance_of<typename Class::Payload>(self)->payload,
                                               held);
        release_held(held);
        PyTypeObject* type = Py_TYPE(self);
        const bool kept = keepable_here(self) && keep_block(Class::cell(), self);
        if (!kept) {
            // The classes are final and garbage-collected, so their tp_free
            // is always the one the interpreter gives such a class.
            PyObject_GC_Del(self);
        }
        // Instances of a heap class hold a reference to it.
        if (!kept || !blocks_hold_class)
            release_reference(reinterpret_cast<PyObject*>(type));
    });
}

/// Sets the lock depth to -1 for a traversal, so that anything entering the
/// module from inside it is refused, and puts the old depth back after.
class TraversalScope {
public:
    TraversalScope() noexcept : saved_(std::exchange(lock_depth, -1)) {}
    ~TraversalScope() { lock_depth = saved_; }
    TraversalScope(const TraversalScope&) = delete;
    TraversalScope& operator=(const TraversalScope&) = delete;

private:
    Py_ssize_t saved_;
};

/// Shows the collector every object an instance holds, its class included.
/// There is no `tp_clear`: an instance never changes, and every cycle through
/// one also passes through something mutable (a list, a dict, an object's
/// attributes, a closure cell), which the collector clears instead. Reads the
/// payload directly: a traversal runs no Python code, so no member can be
/// building or changing it, and a borrow would only cost.
template <class Class>
int instance_traverse(PyObject* self, visitproc visit, void* arg) {
    return outer_guard([&] {
        TraversalScope scope;
        if (int stop = Class::traverse(instance_of<typename Class::Payload>(self)->payload, visit,
                                       arg))
            return stop;
        return visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg);
    });
}

// ---------------------------------------------------------------------------
// Pieces that both classes share: each treats its variant with a value as a
// collection of one element.

/// An iterator over `value`, or over nothing when it is null.
Outcome<Ref> iterate_optional(PyObject* value);
/// `value`, or `fallback` when it is null.
inline Outcome<Ref> value_or(PyObject* value, PyObject* fallback) {
    return Ref::borrow(value != nullptr ? value : fallback);
}
inline Outcome<Ref> boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Outcome<Ref> value_or_none(PyObject* value) { return value_or(value, Py_None); }
/// `str` from the concatenation of `parts`, copied once into one buffer:
/// on the stack when short, which a text form almost always is.
template <std::size_t N>
inline Outcome<Ref> joined_text(const std::array<std::string_view, N>& parts) {
    std::size_t size = 0;
    for (std::string_view part : parts)
        size += part.size();
    char stack[256];
    std::unique_ptr<char[]> heap;
    char* buffer = stack;
    if (size > sizeof stack) {
        heap.reset(new (std::nothrow) char[size]);
        if (!heap) {
            PyErr_NoMemory();
            return fetch_error_or_system();
        }
        buffer = heap.get();
    }
    // Unrolled, so that the fixed parts of a template are copied as the
    // constants they are rather than by a call each.
    char* end = buffer;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((std::memcpy(end, parts[I].data(), parts[I].size()), end += parts[I].size()), ...);
    }(std::make_index_sequence<N>{});
    return new_text(std::string_view(buffer, size));
}

/// `prefix`, `shown` (a `str`, whose reference it takes) and ")" as one
/// `str`. Out of line, so that its buffer takes no room on the stack while
/// `text_around` waits for the value's `str()`.
TARVELLA_NOINLINE Outcome<Ref> join_around(std::string_view prefix, PyObject* shown);

/// `prefix`, the `str()` of `value`, then ")": the text form of a variant
/// that holds a value. A value nested in values makes this the path of one
/// level of C recursion per level of nesting, through the value's `str()`,
/// so its frame, the entry adapter's, is kept small, and it stops with the
/// interpreter's `RecursionError` when the stack runs low. Inlined into the
/// adapter: a frame of its own would add to every level.
TARVELLA_ALWAYS_INLINE Outcome<Ref> text_around(std::string_view prefix, PyObject* value) {
    if (stack_runs_low()) [[unlikely]]
        return stack_exhausted_error(" while getting the str of an object");
    PyObject* shown = call_out([&] { return PyObject_Str(value); });
    if (shown == nullptr) [[unlikely]]
        return fetch_error_or_system();
    return join_around(prefix, shown);
}
/// `Class[...]` is the class itself.
inline Outcome<Ref> class_itself(PyObject* cls, Object) { return Ref::borrow(cls); }

#ifdef TARVELLA_FAULT_HOOKS
/// Test-only functions added to the module by the fault-hook build.
int add_fault_hooks(PyObject* module);
#endif

} // namespace tarvella
