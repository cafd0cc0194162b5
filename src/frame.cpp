#include "frame.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace tarvella {

Error already_borrowed_error() {
    return Error::message(PyExc_RuntimeError, "Already mutably borrowed");
}

Error uninitialised_error(PyObject* type) {
    // Only reachable by replacing the class's `__new__` from Python, which
    // makes an instance without a payload; refusing it beats reading one.
    Ref name = Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
    if (!name)
        return fetch_error_or_system();
    return Error::message(PyExc_TypeError, "uninitialised " + lossless_utf8(name.get()) +
                                               " instance: build it with its constructors");
}

// ---------------------------------------------------------------------------
// The C stack

constinit thread_local StackBounds stack_bounds TARVELLA_TLS_MODEL = {UINTPTR_MAX, 0};

bool stack_runs_low_slow(std::uintptr_t here) {
    StackBounds& bounds = stack_bounds;
    if (bounds.soft_limit == UINTPTR_MAX) [[unlikely]] {
        std::uintptr_t low = 0;
        std::uintptr_t high = 0;
        // Bounds that do not hold the current position are not this stack's
        // (an emulator's, or the first question came on another stack):
        // without them, the interpreter's count alone guards this thread.
        if (read_stack_bounds(low, high) && low <= here && here < high) {
            // What must fit below the last check: the rest of that level, and
            // whatever the innermost value's own `str()` or release takes.
            // An eighth of the stack, so that a thread given a small one
            // keeps most of it, and within what a level can reasonably need.
            constexpr std::uintptr_t least = 16 * 1024;
            constexpr std::uintptr_t most = 256 * 1024;
            const std::uintptr_t margin = std::clamp<std::uintptr_t>((high - low) / 8, least, most);
            bounds.low = low;
            bounds.soft_limit = high - low > margin ? low + margin : high;
        } else {
            bounds.soft_limit = 0;
        }
        if (here >= bounds.soft_limit)
            return false;
    }
    // An address below the thread's stack is on another stack altogether, one
    // that a coroutine library switched to, whose bounds are not known here.
    return here >= bounds.low;
}

Error stack_exhausted_error(std::string_view where) {
    std::string text = "maximum recursion depth exceeded";
    text += where;
    return Error::message(PyExc_RecursionError, std::move(text));
}

// ---------------------------------------------------------------------------
// Extraction

namespace {

std::string call_label(const ArgSpec& spec) {
    std::string label;
    if (!spec.class_name.empty()) {
        label += spec.class_name;
        label += '.';
    }
    label += spec.method_name;
    label += "()";
    return label;
}

std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

Error argument_error(std::string text) { return Error::message(PyExc_TypeError, std::move(text)); }

Error too_many_positional(const ArgSpec& spec, Py_ssize_t nargs) {
    std::string text = call_label(spec) + " takes ";
    if (spec.required_count == spec.positional.size())
        text += std::to_string(spec.positional.size());
    else
        text += "from " + std::to_string(spec.required_count) + " to " +
                std::to_string(spec.positional.size());
    text += " positional arguments but " + std::to_string(nargs) +
            (nargs == 1 ? " was given" : " were given");
    return argument_error(std::move(text));
}

Error missing_arguments(const ArgSpec& spec, const char* kind,
                        const std::vector<std::string_view>& names) {
    return argument_error(call_label(spec) + " missing " + std::to_string(names.size()) +
                          " required " + kind + (names.size() == 1 ? " argument: " : " arguments: ") +
                          quoted_list(names));
}

/// One keyword argument: store it in its cell, or say why it cannot be.
Error place_keyword(const ArgSpec& spec, PyObject* name, PyObject* value, PyObject** cells,
                    std::vector<std::string_view>& positional_only_given) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(name, &size);
    if (bytes == nullptr) {
        PyErr_Clear();
        return argument_error(call_label(spec) + " got an unexpected keyword argument '" +
                              object_text(name) + "'");
    }
    std::string_view key(bytes, std::size_t(size));
    auto multiple = [&] {
        return argument_error(call_label(spec) + " got multiple values for argument '" +
                              std::string(key) + "'");
    };
    const std::size_t positional = spec.positional.size();
    for (std::size_t j = 0; j < spec.keyword_only.size(); ++j) {
        if (spec.keyword_only[j].name == key) {
            if (cells[positional + j] != nullptr)
                return multiple();
            cells[positional + j] = value;
            return Error();
        }
    }
    for (std::size_t k = 0; k < positional; ++k) {
        if (spec.positional[k].text != key)
            continue;
        if (k < spec.positional_only_count) {
            positional_only_given.push_back(spec.positional[k].text);
            return Error();
        }
        if (cells[k] != nullptr)
            return multiple();
        cells[k] = value;
        return Error();
    }
    return argument_error(call_label(spec) + " got an unexpected keyword argument '" +
                          object_text(name) + "'");
}

/// The checks shared by both calling conventions. `next_keyword(i, name,
/// value)` yields the i-th keyword pair and returns false when there is none.
template <class NextKeyword>
Error extract(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject** cells,
              NextKeyword&& next_keyword) {
    const std::size_t positional = spec.positional.size();
    if (args != nullptr) {
        for (std::size_t i = 0; i < std::min(std::size_t(nargs), positional); ++i)
            cells[i] = args[i];
    }
    if (std::size_t(nargs) > positional)
        return too_many_positional(spec, nargs);

    std::vector<std::string_view> positional_only_given;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t i = 0; next_keyword(i, name, value); ++i) {
        if (Error error = place_keyword(spec, name, value, cells, positional_only_given))
            return error;
    }
    if (!positional_only_given.empty())
        return argument_error(call_label(spec) +
                              " got some positional-only arguments passed as keyword arguments: " +
                              quoted_list(positional_only_given));

    std::vector<std::string_view> missing;
    if (std::size_t(nargs) < spec.required_count) {
        for (std::size_t i = 0; i < spec.required_count; ++i) {
            if (cells[i] == nullptr)
                missing.push_back(spec.positional[i].text);
        }
        if (!missing.empty())
            return missing_arguments(spec, "positional", missing);
    }
    for (std::size_t j = 0; j < spec.keyword_only.size(); ++j) {
        if (spec.keyword_only[j].required && cells[positional + j] == nullptr)
            missing.push_back(spec.keyword_only[j].name);
    }
    if (!missing.empty())
        return missing_arguments(spec, "keyword", missing);
    return Error();
}

} // namespace

Error extract_fast_slow(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, PyObject** cells) {
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    return extract(spec, args, nargs, cells, [&](Py_ssize_t i, PyObject*& name, PyObject*& value) {
        if (i >= keywords)
            return false;
        name = PyTuple_GetItem(kwnames, i);
        value = args[nargs + i];
        return true;
    });
}

Error extract_tuple_slow(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                         PyObject** cells) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    // The descriptors of this module have at most three parameters; a fixed
    // array keeps the constructor free of allocation.
    std::array<PyObject*, 4> items{};
    if (spec.positional.size() > items.size())
        fault("argument descriptor has more positional parameters than supported");
    const std::size_t copied = std::min(std::size_t(nargs), spec.positional.size());
    for (std::size_t i = 0; i < copied; ++i)
        items[i] = PyTuple_GetItem(args, Py_ssize_t(i));
    Py_ssize_t position = 0;
    return extract(spec, items.data(), nargs, cells,
                   [&](Py_ssize_t, PyObject*& name, PyObject*& value) {
                       return kwargs != nullptr && PyDict_Next(kwargs, &position, &name, &value);
                   });
}

// ---------------------------------------------------------------------------
// Conversions

Error to_text_slow(PyObject* object, std::string_view& out) {
    if (!PyUnicode_Check(object))
        return type_mismatch_error(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    Outcome<std::string_view> text = utf8_view(object);
    if (!text.ok())
        return std::move(text.error());
    out = text.value();
    return Error();
}

Error wrap_argument_error(std::string_view parameter, Error error) {
    PyObject* exception = normalize_error(error);
    if (reinterpret_cast<PyObject*>(Py_TYPE(exception)) != PyExc_TypeError)
        return error;
    std::string text = "argument '";
    text += parameter;
    text += "': ";
    text += object_text(exception);
    Error rewritten = Error::message(PyExc_TypeError, std::move(text));
    // The replaced error is neither cause nor context: only its own cause
    // carries over, and without one the context is suppressed.
    set_cause(rewritten, error_cause(error));
    return rewritten;
}

std::string object_text(PyObject* object) {
    PyObject* shown = call_out([object] { return PyObject_Str(object); });
    if (shown != nullptr) {
        Ref owned = Ref::steal(shown);
        return lossless_utf8(shown);
    }
    write_unraisable(fetch_error_or_system(), object);
    PyObject* name = PyType_GetName(Py_TYPE(object));
    if (name == nullptr) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    Ref owned = Ref::steal(name);
    return "<unprintable " + lossless_utf8(name) + " object>";
}

} // namespace tarvella
