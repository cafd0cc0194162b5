#include "module.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace tarvella {

namespace {
InternedName all_name{"__all__"};

#ifdef TARVELLA_FAULT_HOOKS
std::atomic<int> failing_class_creations[2]{0, 0}; // MayBe, Result
std::atomic<int> failing_allocations{0};

std::atomic<int>& class_failures(const ClassSpec& spec) {
    return failing_class_creations[spec.name == "Result" ? 1 : 0];
}

bool take_one(std::atomic<int>& counter) {
    int left = counter.load();
    while (left > 0) {
        if (counter.compare_exchange_weak(left, left - 1))
            return true;
    }
    return false;
}
#endif
} // namespace

void* SlotEntry::pointer() const {
    switch (kind) {
    case unary: return reinterpret_cast<void*>(unary_fn);
    case truth: return reinterpret_cast<void*>(truth_fn);
    case length: return reinterpret_cast<void*>(length_fn);
    case binary: return reinterpret_cast<void*>(binary_fn);
    case constructor: return reinterpret_cast<void*>(constructor_fn);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Classes

namespace {

Outcome<Ref> build_class(const ClassSpec& spec) {
#ifdef TARVELLA_FAULT_HOOKS
    if (take_one(class_failures(spec))) {
        PyErr_NoMemory();
        return fetch_error_or_system();
    }
#endif
    std::vector<PyType_Slot> slots;
    if (spec.doc[0] != '\0')
        slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    bool has_constructor = false;
    for (const SlotEntry& entry : spec.slots) {
        slots.push_back({entry.slot, entry.pointer()});
        has_constructor |= entry.slot == Py_tp_new;
    }
    // The method array must live as long as the class; classes live until
    // the process ends, so it is never freed.
    auto* methods = new PyMethodDef[spec.methods.size() + 1]{};
    for (std::size_t i = 0; i < spec.methods.size(); ++i) {
        const MethodEntry& entry = spec.methods[i];
        methods[i] = PyMethodDef{entry.name, entry.function(), entry.flags, entry.doc};
    }
    slots.push_back({Py_tp_methods, methods});
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    unsigned flags = spec.flags;
    if (!has_constructor)
        flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
    slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(spec.traverse)});
    slots.push_back({0, nullptr});

    PyType_Spec type_spec{spec.spec_name, spec.basic_size, 0, flags, slots.data()};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) {
        delete[] methods;
        return fetch_error_or_system();
    }
    return Ref::steal(type);
}

} // namespace

namespace {

InternedName dict_name{"__dict__"};
InternedName func_name{"__func__"};

/// Makes a class and the objects that its attribute lookups hand out
/// immortal (see `make_immortal`): the method descriptors, the static and
/// class method wrappers and the functions inside them. Every member call
/// and every constructor call changes some of their counts otherwise.
void make_class_immortal(PyObject* type) {
    if constexpr (!free_threaded)
        return;
    Ref attributes = checked_new(PyObject_GetAttr(type, interned(dict_name)));
    Ref values = checked_new(PyMapping_Values(attributes.get()));
    for (Py_ssize_t i = 0, n = PyList_Size(values.get()); i < n; ++i) {
        PyObject* value = PyList_GetItem(values.get(), i);
        if (PyUnicode_Check(value))
            continue; // names and doc strings: nothing looks them up per call
        if (PyObject* inner = PyObject_GetAttr(value, interned(func_name))) {
            make_immortal(inner);
            Py_DECREF(inner);
        } else {
            PyErr_Clear();
        }
        make_immortal(value);
    }
    make_immortal(type);
}

} // namespace

Outcome<PyObject*> get_class_object(ClassCell& cell) {
    if (PyObject* type = cell.type.load(std::memory_order_acquire))
        return type;
    Outcome<PyObject*> made = fill_once(cell.type, cell.gate, [&cell]() -> Outcome<PyObject*> {
        Outcome<Ref> built = build_class(cell.spec);
        if (!built.ok())
            return wrap_as_runtime_error(std::move(built.error()),
                                         "An error occurred while initializing class " +
                                             std::string(cell.spec.name));
        make_class_immortal(built.value().get());
        if (PySys_GetObject("gettotalrefcount") == nullptr) {
            if constexpr (per_thread_blocks)
                thread_block_limit.store(FreeBlocks::capacity, std::memory_order_relaxed);
            else
                cell.free_blocks.limit = FreeBlocks::capacity;
        }
        return built.value().release();
    });
    if (made.ok() && made.value() == nullptr)
        fault("class `" + std::string(cell.spec.name) + "` needed while it is being made");
    return made;
}

PyObject* require_class_slow(ClassCell& cell) {
    Outcome<PyObject*> type = get_class_object(cell);
    if (type.ok())
        return type.value();
    write_unraisable(std::move(type.error()), nullptr);
    fault("failed to create type object for `" + std::string(cell.spec.name) + "`");
}

namespace {

ClassCell* cell_of_instance(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    if (type == maybe_cell.type.load(std::memory_order_relaxed))
        return &maybe_cell;
    if (type == result_cell.type.load(std::memory_order_relaxed))
        return &result_cell;
    return nullptr;
}

/// Last references that dying payloads dropped on this thread, and how many
/// such releases are running on it. A value whose release frees our
/// instances and other objects in turn (an Ok holding a dict holding an Ok,
/// and so on) nests a deallocation per level, and the interpreter's own
/// guard against that, the trashcan of its containers, counts only their
/// levels, not ours, and is not in the limited API. So, as the trashcan does:
/// a release that finds the stack running low, with an outer one still
/// running, leaves the reference here, and the outermost release on the
/// thread drops what was left once its own is done, each from its own depth.
/// The list exists only while something is left in it: a thread-local with
/// a destructor would tie the wheel to a newer glibc for nothing.
struct NestedReleases {
    int running;
    std::vector<PyObject*>* left;
};
constinit thread_local NestedReleases nested_releases = {0, nullptr};

/// Releases a reference that may be the object's last.
void release_last(PyObject* object) {
    NestedReleases& nested = nested_releases;
    if (nested.running > 0 && stack_runs_low()) [[unlikely]] {
        try {
            if (nested.left == nullptr)
                nested.left = new std::vector<PyObject*>;
            nested.left->push_back(object);
            return;
        } catch (const std::bad_alloc&) {
            // No room to leave it: released here, as it would be without this.
        }
    }
    ++nested.running;
    release_reference(object);
    if (nested.running == 1 && nested.left != nullptr) [[unlikely]] {
        while (!nested.left->empty()) {
            PyObject* left = nested.left->back();
            nested.left->pop_back();
            release_reference(left);
        }
        delete std::exchange(nested.left, nullptr);
    }
    --nested.running;
}

/// The cell of `object` when releasing it frees an instance of these
/// classes, which `release_nested` then takes apart itself; null otherwise.
ClassCell* taken_apart(PyObject* object) {
    return dies_with_release(object) ? cell_of_instance(object) : nullptr;
}

/// Releases a reference (none for null) that is not taken apart.
void release_whole(PyObject* object) {
    if (object == nullptr)
        return;
    if (dies_with_release(object))
        release_last(object);
    else
        release_reference(object);
}

} // namespace

void release_nested(PyObject** held) {
    if (taken_apart(held[0]) == nullptr && taken_apart(held[1]) == nullptr) {
        release_whole(held[0]);
        release_whole(held[1]);
        return;
    }
    // Instances of these classes nested directly in one another are taken
    // apart in a loop, without any deferral: a chain of a million links costs
    // no more stack than one.
    std::vector<PyObject*> pending;
    for (int i = 0; i < 2; ++i) {
        if (held[i] != nullptr)
            pending.push_back(held[i]);
    }
    while (!pending.empty()) {
        PyObject* object = pending.back();
        pending.pop_back();
        ClassCell* cell = taken_apart(object);
        if (cell == nullptr) {
            release_whole(object);
            continue;
        }
        // Emptied first, its own deallocation has nothing left to release.
        PyObject* inner[2] = {nullptr, nullptr};
        cell->spec.take_references(object, inner);
        for (PyObject* reference : inner) {
            if (reference != nullptr)
                pending.push_back(reference);
        }
        release_reference(object);
    }
}

namespace {
/// Blocks of finalised interpreters: never reused, never freed, but still
/// pointed at, so that leak checkers see them as held rather than lost.
PyObject* retired_blocks = nullptr;

void retire(FreeBlocks& blocks) noexcept {
    while (PyObject* block = blocks.top) {
        blocks.top = next_free_block_of(block);
        next_free_block_of(block) = retired_blocks;
        retired_blocks = block;
    }
    blocks = FreeBlocks();
}
} // namespace

// Per-thread lists (`per_thread_blocks`).
#if TARVELLA_PER_THREAD_BLOCKS

constinit thread_local ThreadBlocks thread_blocks TARVELLA_TLS_MODEL;
std::atomic<std::uint64_t> blocks_lifetime{1};
// `FreeBlocks::capacity` once a class is stored, unless the interpreter is
// a debug build.
std::atomic<int> thread_block_limit{0};

namespace {

/// The blocks of ended threads, and the retired ones: under this mutex.
std::mutex orphans_mutex;
FreeBlocks orphans[2];
std::atomic<bool> orphans_waiting{false};

/// Hands the blocks of an ending thread on to the others.
struct HandOnAtExit {
    bool armed = false;
    ~HandOnAtExit() {
        std::lock_guard<std::mutex> hold(orphans_mutex);
        ThreadBlocks& mine = thread_blocks;
        const bool current = mine.lifetime == blocks_lifetime.load(std::memory_order_relaxed);
        for (int i = 0; i < 2; ++i) {
            if (!current) {
                retire(mine.lists[i]);
                continue;
            }
            while (mine.lists[i].top != nullptr)
                orphans[i].push(mine.lists[i].pop());
            mine.lists[i] = FreeBlocks();
        }
        if (current && (orphans[0].top != nullptr || orphans[1].top != nullptr))
            orphans_waiting.store(true, std::memory_order_relaxed);
    }
};
thread_local HandOnAtExit hand_on_at_exit;

/// Brings this thread's lists into the current interpreter lifetime,
/// setting older blocks aside; false if blocks are not kept at all.
bool renew_thread_blocks() {
    ThreadBlocks& mine = thread_blocks;
    const std::uint64_t lifetime = blocks_lifetime.load(std::memory_order_relaxed);
    if (mine.lifetime != lifetime) {
        if (mine.lifetime != 0) {
            std::lock_guard<std::mutex> hold(orphans_mutex);
            retire(mine.lists[0]);
            retire(mine.lists[1]);
        }
        mine.lifetime = lifetime;
        // Taking the address registers the hand-on for this thread's end.
        hand_on_at_exit.armed = true;
    }
    const int limit = thread_block_limit.load(std::memory_order_relaxed);
    mine.lists[0].limit = mine.lists[1].limit = limit;
    return limit > 0;
}

/// Frees the blocks that ended threads left, outside the mutex.
void free_orphans() {
    FreeBlocks left[2];
    {
        std::lock_guard<std::mutex> hold(orphans_mutex);
        for (int i = 0; i < 2; ++i)
            left[i] = std::exchange(orphans[i], FreeBlocks());
        orphans_waiting.store(false, std::memory_order_relaxed);
    }
    for (FreeBlocks& blocks : left) {
        while (blocks.top != nullptr) {
            PyObject* block = blocks.pop();
            PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(block));
            PyObject_GC_Del(block);
            if constexpr (blocks_hold_class)
                release_reference(type);
        }
    }
}

} // namespace

PyObject* take_block_slow(ClassCell& cell) {
    if (!renew_thread_blocks())
        return nullptr;
    if (orphans_waiting.load(std::memory_order_relaxed))
        free_orphans();
    FreeBlocks& blocks = free_blocks_of(cell);
    return blocks.top != nullptr ? blocks.pop() : nullptr;
}

bool keep_block_slow(ClassCell& cell, PyObject* block) {
    if (!renew_thread_blocks())
        return false;
    FreeBlocks& blocks = free_blocks_of(cell);
    if (blocks.count >= blocks.limit)
        return false;
    blocks.push(block);
    return true;
}

void forget_free_blocks() noexcept {
    blocks_lifetime.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> hold(orphans_mutex);
    retire(orphans[0]);
    retire(orphans[1]);
    orphans_waiting.store(false, std::memory_order_relaxed);
    retire(thread_blocks.lists[0]);
    retire(thread_blocks.lists[1]);
    thread_blocks.lifetime = 0;
}

#else

void forget_free_blocks() noexcept {
    for (ClassCell* cell : {&maybe_cell, &result_cell})
        retire(cell->free_blocks);
}

#endif



namespace {
/// The text form joined as `str` objects, for a `str()` that has no UTF-8
/// form: one that holds lone surrogates, as file names that did not decode
/// do (`os.fsdecode`, `os.listdir`, `sys.argv`). Slower than the UTF-8 join,
/// so only taken when that one cannot be.
TARVELLA_NOINLINE Outcome<Ref> text_around_str(std::string_view prefix, PyObject* shown) {
    PyObject* text = PyUnicode_Concat(new_text(prefix).get(), shown);
    if (text != nullptr)
        // Fresh and unshared, so the closing parenthesis goes in place.
        PyUnicode_Append(&text, new_text(")").get());
    if (text == nullptr)
        return fetch_error_or_system();
    return Ref::steal(text);
}
} // namespace

Outcome<Ref> join_around(std::string_view prefix, PyObject* shown) {
    Ref owned = Ref::steal(shown);
    // Joining UTF-8 bytes is the cheaper way wherever a UTF-8 form exists:
    // for an ASCII `str` that form is its own storage, and the join is one
    // copy into one new `str`.
    Py_ssize_t size = 0;
    if (const char* bytes = PyUnicode_AsUTF8AndSize(shown, &size)) [[likely]]
        return joined_text(std::array{prefix, std::string_view(bytes, std::size_t(size)),
                                      std::string_view(")")});
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        return fetch_error_or_system();
    PyErr_Clear();
    return text_around_str(prefix, shown);
}

Outcome<Ref> iterate_optional(PyObject* value) {
    Ref items = checked_new(PyTuple_New(value != nullptr ? 1 : 0));
    if (value != nullptr)
        PyTuple_SetItem(items.get(), 0, Ref::borrow(value).release());
    // The tuple's own iterator owns the tuple, so it outlives the instance.
    PyObject* iterator = PyObject_GetIter(items.get());
    if (iterator == nullptr)
        return fetch_error_or_system();
    return Ref::steal(iterator);
}

// ---------------------------------------------------------------------------
// Pickling and copying
//
// The classes have no `__reduce__` of their own and cannot be found by name
// (their module is "builtins"), so `copyreg`'s table, which pickle and copy
// consult first, holds one reducer per class. It reduces an instance to a
// call `_reconstruct(kind, state)`: `kind` is the class name, `state` what
// the class's `state_of` made, and pickle finds `_reconstruct` in this
// module by name. Each reducer is bound to the reconstructor, so the
// interpreter's own `copyreg` table is where both are kept.

namespace {

InternedName reconstruct_params[] = {{"kind"}, {"state"}};
InternedName reduce_params[] = {{"instance"}};
constexpr ArgSpec reconstruct_spec{"", "_reconstruct", reconstruct_params, 2};
constexpr ArgSpec reduce_spec{"", "_reduce", reduce_params, 1};

Outcome<Ref> reconstruct(Text kind, Object state) {
    for (ClassCell* cell : {&maybe_cell, &result_cell}) {
        if (kind.text == cell->spec.name)
            return cell->spec.from_state(state.object);
    }
    return Error::message(PyExc_ValueError,
                          "unknown kind of instance: '" + std::string(kind.text) + "'");
}

// One string object per kind: pickle then writes it once per pickle and
// refers back to it for every further instance of the class.
InternedName maybe_kind{"MayBe"};
InternedName result_kind{"Result"};

/// The reducer of the class in `Cell`; `reconstructor` is what it is bound to.
template <ClassCell& Cell, InternedName& Kind>
Outcome<Ref> reduce(PyObject* reconstructor, Object instance) {
    // Pickling a value nested in values calls this once per level, deep in
    // the pickler's own recursion, which is counted in calls only.
    if (stack_runs_low()) [[unlikely]]
        return stack_exhausted_error(" while pickling an object");
    Outcome<Ref> state = Cell.spec.state_of(instance.object);
    if (!state.ok())
        return state;
    Ref args = checked_new(PyTuple_Pack(2, interned(Kind), state.value().get()));
    return checked_new(PyTuple_Pack(2, reconstructor, args.get()));
}

PyCFunction fast_method(FastFunction function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int fast_with_keywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef reconstruct_method = {
    "_reconstruct", fast_method(&static_fast<reconstruct_spec, reconstruct>), fast_with_keywords,
    "_reconstruct(kind, state)\n--\n\n"
    "Recrée une instance sérialisée par pickle ou copiée par copy (usage interne)"};

// A reducer is a function bound to the reconstructor, which the frame hands
// to the body as it hands the class to a class method. MayBe's, then Result's.
PyMethodDef reduce_methods[] = {
    {"_reduce", fast_method(&class_fast<reduce_spec, reduce<maybe_cell, maybe_kind>>),
     fast_with_keywords,
     "_reduce($self, instance)\n--\n\nRéduit un MayBe pour pickle et copy (usage interne)"},
    {"_reduce", fast_method(&class_fast<reduce_spec, reduce<result_cell, result_kind>>),
     fast_with_keywords,
     "_reduce($self, instance)\n--\n\nRéduit un Result pour pickle et copy (usage interne)"},
};

/// The reconstructor that an earlier execution of the module in this
/// interpreter registered, found through the reducer in `table`; or empty.
Outcome<Ref> registered_reconstructor(PyObject* table, PyObject* type) {
    if (!PyDict_Check(table))
        return Ref();
    PyObject* entry = nullptr;
    if (lookup_item(table, type, &entry) < 0)
        return fetch_error_or_system();
    Ref held;
    if constexpr (looked_up_items_held)
        held = Ref::steal(entry);
    if (entry == nullptr)
        return Ref();
    const PyCFunction result_reducer = reduce_methods[1].ml_meth;
    if (!PyCFunction_Check(entry) || PyCFunction_GetFunction(entry) != result_reducer)
        return Ref();
    PyObject* reconstructor = PyCFunction_GetSelf(entry);
    return reconstructor != nullptr ? Ref::borrow(reconstructor) : Ref();
}

/// Adds `_reconstruct` to the module and registers the reducers with
/// `copyreg`; the classes must be in their cells already. A module executed
/// again in the same interpreter (a re-import, or a module object made by
/// hand) gets the reconstructor already registered: pickle insists that the
/// function it writes is the one it finds under its name in `sys.modules`,
/// whichever module object that is, just as the classes stay the same.
Status add_pickling(PyObject* module) {
    PyObject* copyreg = call_out([] { return PyImport_ImportModule("copyreg"); });
    if (copyreg == nullptr)
        return fetch_error_or_system();
    Ref copyreg_owned = Ref::steal(copyreg);
    PyObject* table = PyObject_GetAttrString(copyreg, "dispatch_table");
    if (table == nullptr)
        return fetch_error_or_system();
    Ref table_owned = Ref::steal(table);
    PyObject* register_reducer = PyObject_GetAttrString(copyreg, "pickle");
    if (register_reducer == nullptr)
        return fetch_error_or_system();
    Ref register_owned = Ref::steal(register_reducer);

    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr)
        return fetch_error_or_system();
    Ref name_owned = Ref::steal(module_name);
    Outcome<Ref> reconstructor = registered_reconstructor(table, require_class_object(result_cell));
    if (!reconstructor.ok())
        return std::move(reconstructor.error());
    if (!reconstructor.value()) {
        PyObject* made = PyCFunction_NewEx(&reconstruct_method, module, module_name);
        if (made == nullptr)
            return fetch_error_or_system();
        reconstructor.value() = Ref::steal(made);
    }
    PyObject* function = reconstructor.value().get();
    if (PyObject_SetAttrString(module, reconstruct_method.ml_name, function) < 0)
        return fetch_error_or_system();

    ClassCell* cells[] = {&maybe_cell, &result_cell};
    for (std::size_t i = 0; i < std::size(cells); ++i) {
        PyObject* made = PyCFunction_NewEx(&reduce_methods[i], function, module_name);
        if (made == nullptr)
            return fetch_error_or_system();
        Ref reducer = Ref::steal(made);
        Outcome<Ref> registered =
            call_function(register_reducer, require_class_object(*cells[i]), reducer.get());
        if (!registered.ok())
            return std::move(registered.error());
    }
    return success();
}

} // namespace

// ---------------------------------------------------------------------------
// The module

namespace {

Status add_class(PyObject* module, std::string_view name, ClassCell& cell) {
    Outcome<PyObject*> type = get_class_object(cell);
    if (!type.ok())
        return std::move(type.error());
    Ref name_text = new_text(name);

    Ref all;
    if (PyObject* found = PyObject_GetAttr(module, interned(all_name))) {
        all = Ref::steal(found);
        if (!PyList_Check(found))
            return type_mismatch_error(found, reinterpret_cast<PyObject*>(&PyList_Type));
    } else {
        Error error = fetch_error_or_system();
        if (!error_matches(error, PyExc_AttributeError))
            return error;
        all = checked_new(PyList_New(0));
        if (PyObject_SetAttr(module, interned(all_name), all.get()) < 0)
            return fetch_error_or_system();
    }
    if (PyList_Append(all.get(), name_text.get()) < 0) {
        Error error = fetch_error_or_system();
        fault("could not append __name__ to __all__: " + error_debug_form(error));
    }
    all = Ref();

    if (PyObject_SetAttr(module, name_text.get(), type.value()) < 0)
        return fetch_error_or_system();
    return success();
}

std::atomic<bool> forget_registered{false};

/// Runs after the interpreter has finalised (a `Py_AtExit` function). Its
/// objects are gone, so the cells that held them are emptied without being
/// touched; an interpreter initialised later in the process builds its own.
void forget_interpreter() {
    maybe_cell.type.store(nullptr, std::memory_order_release);
    result_cell.type.store(nullptr, std::memory_order_release);
    forget_error_cells();
    forget_free_blocks();
    // The interpreter drops its exit functions once it has run them.
    forget_registered.store(false, std::memory_order_release);
}

/// Whether this is the main interpreter. Classes shared with subinterpreters
/// would get their lookup cache tags from two interpreters at once.
bool in_main_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()) == 0; }

Status exec_steps(PyObject* module) {
    if (module == nullptr)
        return fetch_error_or_system();
    if (!is_instance(module, reinterpret_cast<PyObject*>(&PyModule_Type)))
        return type_mismatch_error(module, reinterpret_cast<PyObject*>(&PyModule_Type));
    // The module slot refuses only subinterpreters that check it; those that
    // share the main interpreter's lock load the module regardless.
    if (!in_main_interpreter())
        return Error::message(PyExc_ImportError,
                              "module tarvella does not support loading in subinterpreters");
    // Registered again in each interpreter lifetime. Should the table of exit
    // functions be full, only a later re-initialisation of the interpreter
    // would suffer, so the import goes on; the next execution tries again.
    if (!forget_registered.exchange(true) && Py_AtExit(forget_interpreter) < 0)
        forget_registered.store(false);
    Status added = add_class(module, "MayBe", maybe_cell);
    if (!added.ok())
        return added;
    added = add_class(module, "Result", result_cell);
    if (!added.ok())
        return added;
    added = add_pickling(module);
    if (!added.ok())
        return added;
#ifdef TARVELLA_FAULT_HOOKS
    if (add_fault_hooks(module) < 0)
        return fetch_error_or_system();
#endif
    return added;
}

int module_exec(PyObject* module) {
    return number_entry<int>([module]() -> Outcome<int> {
        Status done = exec_steps(module);
        if (!done.ok())
            return std::move(done.error());
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    TARVELLA_MODULE_GIL_SLOT
    {0, nullptr}, // end of slots
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tarvella", // m_name
    "",         // m_doc
    0,          // m_size: all state is process-wide
    nullptr,    // m_methods
    module_slots,
    nullptr, // m_traverse
    nullptr, // m_clear
    nullptr, // m_free
};

} // namespace

// ---------------------------------------------------------------------------
// Fault hooks: a test-only build lets the tests reach failures that Python
// code cannot cause.

#ifdef TARVELLA_FAULT_HOOKS

namespace {

std::string armed_body_fault;
bool body_fault_armed = false;

InternedName message_param[] = {{"message"}};
InternedName times_param[] = {{"times"}};
InternedName class_params[] = {{"name"}, {"times"}};
InternedName object_param[] = {{"obj"}};
InternedName traverse_params[] = {{"obj"}, {"visit"}};
constexpr ArgSpec fault_spec{"", "_fault", message_param, 1};
constexpr ArgSpec arm_spec{"", "_fault_next_body", message_param, 1};
constexpr ArgSpec unguarded_spec{"", "_fault_unguarded", message_param, 1};
constexpr ArgSpec fail_class_spec{"", "_fail_class_creation", class_params, 2};
constexpr ArgSpec fail_alloc_spec{"", "_fail_alloc", times_param, 1};
constexpr ArgSpec detached_spec{"", "_release_detached", object_param, 1};
constexpr ArgSpec traverse_spec{"", "_traverse", traverse_params, 2};
InternedName constructor_params[] = {{"times"}, {"memory_error"}};
constexpr ArgSpec fail_constructor_spec{"", "_fail_constructor", constructor_params, 2};

Outcome<Ref> hook_fault(Text message) { fault(std::string(message.text)); }

Outcome<Ref> hook_arm(Text message) {
    armed_body_fault = std::string(message.text);
    body_fault_armed = true;
    return Ref::borrow(Py_None);
}

int count_of(PyObject* number) {
    long value = PyLong_AsLong(number);
    return value < 0 ? 0 : int(value);
}

Outcome<Ref> hook_fail_class(Text name, Object times) {
    ClassCell& cell = name.text == "Result" ? result_cell : maybe_cell;
    // The old class stays alive: its instances still refer to it.
    cell.type.store(nullptr);
    class_failures(cell.spec).store(count_of(times.object));
    return Ref::borrow(Py_None);
}

Outcome<Ref> hook_fail_alloc(Object times) {
    failing_allocations.store(count_of(times.object));
    return Ref::borrow(Py_None);
}

Outcome<Ref> hook_fail_constructor(Object times, Object memory_error) {
    arm_failing_constructors(count_of(times.object), PyObject_IsTrue(memory_error.object) == 1);
    return Ref::borrow(Py_None);
}

Outcome<Ref> hook_release_detached(Object object) {
    Py_IncRef(object.object);
    Py_ssize_t saved = lock_depth;
    lock_depth = 0;
    release_reference(object.object);
    lock_depth = saved;
    return Ref::borrow(Py_None);
}

/// Runs the class's traversal of `obj` and calls `visit` with each object it
/// names, as no real collector would: to show what a traversal sees, and
/// what becomes of an entry into the module from inside one.
Outcome<Ref> hook_traverse(Object object, Object visit) {
    auto traverse = reinterpret_cast<traverseproc>(
        PyType_GetSlot(Py_TYPE(object.object), Py_tp_traverse));
    if (traverse == nullptr)
        return Error::message(PyExc_TypeError, "no traversal");
    int stop = traverse(
        object.object,
        [](PyObject* seen, void* visit) -> int {
            PyObject* returned =
                PyObject_CallFunctionObjArgs(static_cast<PyObject*>(visit), seen, nullptr);
            // Not through the release rule, which defers during a traversal.
            Py_XDECREF(returned);
            return returned == nullptr ? -1 : 0;
        },
        visit.object);
    if (stop != 0)
        return fetch_error_or_system();
    return Ref::borrow(Py_None);
}

/// A fault past the barrier: only the outer guard sees it.
PyObject* hook_unguarded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return outer_guard([&]() -> PyObject* {
        Entry entry;
        std::array<PyObject*, 1> cells{};
        std::string_view message = "fault outside any barrier";
        if (!extract_fast_arguments<unguarded_spec>(args, nargs, kwnames, cells))
            to_text(cells[0], message);
        fault(std::string(message));
    });
}

constexpr int fast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef hook_methods[] = {
    {"_fault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                   &static_fast<fault_spec, hook_fault>)),
     fast, nullptr},
    {"_fault_next_body", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                             &static_fast<arm_spec, hook_arm>)),
     fast, nullptr},
    {"_fault_unguarded",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&hook_unguarded)), fast, nullptr},
    {"_fail_class_creation", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                 &static_fast<fail_class_spec, hook_fail_class>)),
     fast, nullptr},
    {"_fail_alloc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                        &static_fast<fail_alloc_spec, hook_fail_alloc>)),
     fast, nullptr},
    {"_release_detached", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                              &static_fast<detached_spec, hook_release_detached>)),
     fast, nullptr},
    {"_traverse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                      &static_fast<traverse_spec, hook_traverse>)),
     fast, nullptr},
    {"_fail_constructor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                              &static_fast<fail_constructor_spec, hook_fail_constructor>)),
     fast, nullptr},
    {nullptr, nullptr, 0, nullptr}, // end of hooks
};

} // namespace

bool take_failing_allocation() { return take_one(failing_allocations); }

void before_body_hook() {
    if (body_fault_armed) {
        body_fault_armed = false;
        fault(std::move(armed_body_fault));
    }
}

int add_fault_hooks(PyObject* module) { return PyModule_AddFunctions(module, hook_methods); }

#endif

} // namespace tarvella

PyMODINIT_FUNC PyInit_tarvella() { return PyModuleDef_Init(&tarvella::module_definition); }
