// What differs between the two build flavours, in one place: the stable-ABI
// build for interpreters with the GIL, and the build for a free-threaded
// interpreter (Py_GIL_DISABLED), which runs every member without any lock.
// The units use the names defined here and read the same in both flavours;
// each name is a plain operation in one flavour and the thread-safe one in
// the other.
//
// The free-threaded side reads and writes CPython's own reference count
// fields (`ob_tid`, `ob_ref_local`, `ob_ref_shared`), whose names and
// meaning 3.13, 3.14 and 3.15 share; scripts/check-cross compiles this
// flavour against each of those versions' headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace tarvella {

#ifdef Py_GIL_DISABLED
inline constexpr bool free_threaded = true;
#else
inline constexpr bool free_threaded = false;
#endif

// ---------------------------------------------------------------------------
// Borrow flags: 0 free, n > 0 shared borrows, -1 exclusively borrowed.

/// Takes a shared borrow of an instance; false when it is exclusively
/// borrowed. No member ever takes an exclusive borrow and instances never
/// change, so a shared borrow has nothing to keep out.
///
/// With the GIL every change of the flag happens under the lock, which
/// orders them: a relaxed load and store count the borrow at the price of
/// one plain store. Without it, counting would be a read-modify-write on
/// the instance from every thread that calls a member of it at once, all
/// contending for one cache line on every call; since nothing ever waits
/// for the count to fall, the flag is only read there.
inline bool take_shared_borrow(std::atomic<Py_ssize_t>& flag) noexcept {
    const Py_ssize_t seen = flag.load(std::memory_order_relaxed);
    if (seen == -1) [[unlikely]]
        return false;
    if constexpr (!free_threaded)
        flag.store(seen + 1, std::memory_order_relaxed);
    return true;
}

/// Gives a shared borrow back. The one release that could run without the
/// lock with the GIL, during the forced unwind that ends a daemon thread at
/// shutdown, is left out by the caller: a count left raised blocks nothing.
inline void release_shared_borrow(std::atomic<Py_ssize_t>& flag) noexcept {
    if constexpr (!free_threaded)
        flag.store(flag.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    else
        (void)flag;
}

/// Whether giving a shared borrow back writes the instance. Where it does,
/// a member that runs user code must keep the receiver itself alive until
/// then; where it does not, nothing touches the instance once that code
/// runs (see `hold_while_running`).
inline constexpr bool release_writes_instance = !free_threaded;

// ---------------------------------------------------------------------------
// Reference counts

/// Whether the caller's reference to `object` is the only one, so that no
/// other thread can reach it. Without the lock a count of one means that
/// only where no other thread can be changing it: this thread owns the
/// object and holds its one local reference, or the counts were merged into
/// the shared word (the owning thread ended, or the collector merged them)
/// and that word holds exactly one. The other way a thread makes a
/// reference from none, a weak reference, these classes do not have.
inline bool sole_reference(PyObject* object) {
#ifdef Py_GIL_DISABLED
    const std::uintptr_t owner = _Py_atomic_load_uintptr_relaxed(&object->ob_tid);
    const std::uint32_t local = _Py_atomic_load_uint32_relaxed(&object->ob_ref_local);
    const Py_ssize_t shared = _Py_atomic_load_ssize_relaxed(&object->ob_ref_shared);
    if (owner == _Py_ThreadId())
        return local == 1 && shared == 0;
    return owner == 0 && local == 0 && shared == _Py_REF_SHARED(1, _Py_REF_MERGED);
#else
    return Py_REFCNT(object) == 1;
#endif
}

/// Gives a reused instance block the count of a newly allocated object:
/// one reference, owned by this thread whichever thread freed the block.
inline void set_new_object_count(PyObject* block) {
#ifdef Py_GIL_DISABLED
    _Py_atomic_store_uintptr_relaxed(&block->ob_tid, _Py_ThreadId());
    _Py_atomic_store_uint32_relaxed(&block->ob_ref_local, 1);
    _Py_atomic_store_ssize_relaxed(&block->ob_ref_shared, 0);
#else
    Py_SET_REFCNT(block, 1);
#endif
}

/// Makes an object that lives until the process ends immortal where that
/// pays: without the GIL every thread that looks up a class attribute,
/// makes an instance or loads a class from a global changes the count of
/// the same few objects, and they contend for its cache line. An immortal
/// object's count is never written. With the GIL nothing contends, and the
/// stable ABI offers no way to do it, so nothing happens there.
///
/// `object` must not be reachable by another thread yet (it has just been
/// made and not published), since the fields are written plainly. This is
/// what the interpreter does to its own immortal objects, and what 3.13 does
/// to classes and functions made in Python code once a second thread starts;
/// immortal objects are never collected, so it leaves the collector.
inline void make_immortal(PyObject* object) {
#ifdef Py_GIL_DISABLED
    if (PyObject_IS_GC(object) && PyObject_GC_IsTracked(object))
        PyObject_GC_UnTrack(object);
    object->ob_tid = 0;
    object->ob_ref_local = _Py_IMMORTAL_REFCNT_LOCAL;
    object->ob_ref_shared = 0;
#else
    (void)object;
#endif
}

// ---------------------------------------------------------------------------
// Dictionaries

/// Whether `lookup_item` hands the item out with a reference of its own.
/// Without the lock another thread may change the dictionary at any moment
/// and drop the item, so there it must be held.
inline constexpr bool looked_up_items_held = free_threaded;

/// A plain lookup of `key` in the dict `dict` (no subclass's `__getitem__`
/// or `__missing__` asked): -1 with an exception set, else `*found` is the
/// item (new when `looked_up_items_held`, borrowed otherwise) or null.
inline int lookup_item(PyObject* dict, PyObject* key, PyObject** found) {
#ifdef Py_GIL_DISABLED
    return PyDict_GetItemRef(dict, key, found);
#else
    *found = PyDict_GetItemWithError(dict, key);
    return *found == nullptr && PyErr_Occurred() ? -1 : 0;
#endif
}

// ---------------------------------------------------------------------------
// Kept instance blocks

/// Whether freed instance blocks are kept per thread (see `ThreadBlocks`):
/// without the lock, a list per class shared by every thread would need one.
/// Also a macro, for the definitions that exist only in that flavour: a
/// thread-local object with a destructor would make the stable-ABI build
/// need a newer C library (`__cxa_thread_atexit_impl`) for nothing.
#ifdef Py_GIL_DISABLED
#define TARVELLA_PER_THREAD_BLOCKS 1
#else
#define TARVELLA_PER_THREAD_BLOCKS 0
#endif
inline constexpr bool per_thread_blocks = TARVELLA_PER_THREAD_BLOCKS;

/// Whether `block`, an instance being freed, may be kept by this thread for
/// reuse. Without the lock, only a block that this thread allocated (or
/// reused, from its own list): the allocator gives each thread pages of its
/// own, and a block that moved to another thread would sit beside blocks the
/// first thread still writes; two threads writing one cache line slow each
/// other on every call. The owner is the thread an object's count belongs
/// to, which only an allocation (or a reuse) sets and a merge clears; a
/// block freed anywhere else goes back to the allocator, which returns it to
/// its page.
inline bool keepable_here(PyObject* block) {
#ifdef Py_GIL_DISABLED
    return _Py_atomic_load_uintptr_relaxed(&block->ob_tid) == _Py_ThreadId();
#else
    (void)block;
    return true;
#endif
}

/// Whether a kept block keeps the reference to its class that its instance
/// held: so that making and freeing instances does not change the class's
/// count, where other threads doing the same would contend for it. The
/// classes live until the process ends, so the references of blocks that
/// are never reused keep nothing alive.
inline constexpr bool blocks_hold_class = free_threaded;

// ---------------------------------------------------------------------------
// Module slots

#ifdef Py_GIL_DISABLED
/// Sound without the lock; without this slot the interpreter would turn the
/// GIL back on at import.
#define TARVELLA_MODULE_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define TARVELLA_MODULE_GIL_SLOT
#endif

} // namespace tarvella
