// Shared argument binding of compile_schema, validate and collect.
#include "surface/argument_binding.hpp"

#include "runtime/conversions.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace quillane {
namespace {

std::string full_name(const ArgumentSpec& spec) {
    std::string name;
    if (spec.class_name != nullptr) {
        name += spec.class_name;
        name += '.';
    }
    name += spec.function_name;
    name += "()";
    return name;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const std::vector<const char*>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += names.size() > 2 ? ", " : " ";
            if (i + 1 == names.size()) {
                text += "and ";
            }
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

PendingError type_error(std::string message) { return PendingError::lazy(PyExc_TypeError, std::move(message)); }

PendingError too_many_positional(const ArgumentSpec& spec, size_t given) {
    const size_t count = spec.parameters.size();
    std::string message = full_name(spec) + " takes ";
    if (spec.required == count) {
        message += std::to_string(count);
    } else {
        message += "from " + std::to_string(spec.required) + " to " + std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return type_error(std::move(message));
}

}  // namespace

Status bind_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      std::span<PyObject*> slots) {
    const auto positional = static_cast<size_t>(PyVectorcall_NARGS(nargs));
    const size_t parameter_count = spec.parameters.size();
    for (PyObject*& slot : slots) {
        slot = nullptr;
    }
    if (positional > parameter_count) {
        return fail(too_many_positional(spec, positional));
    }
    for (size_t i = 0; i < positional; ++i) {
        slots[i] = args[i];
    }

    std::vector<const char*> positional_only_as_keyword;
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(keyword, &size);
        std::string_view keyword_text;
        if (bytes == nullptr) {
            PyErr_Clear();  // such a name matches no parameter
        } else {
            keyword_text = std::string_view(bytes, static_cast<size_t>(size));
        }
        size_t match = parameter_count;
        if (bytes != nullptr) {
            for (size_t p = 0; p < parameter_count; ++p) {
                if (keyword_text == spec.parameters[p]) {
                    match = p;
                    break;
                }
            }
        }
        if (match == parameter_count) {
            return fail(
                type_error(full_name(spec) + " got an unexpected keyword argument '" + render_text(keyword) + "'"));
        }
        if (match < spec.positional_only) {
            positional_only_as_keyword.push_back(spec.parameters[match]);
            continue;
        }
        if (slots[match] != nullptr) {
            return fail(
                type_error(full_name(spec) + " got multiple values for argument '" + spec.parameters[match] + "'"));
        }
        slots[match] = args[positional + static_cast<size_t>(k)];
    }
    if (!positional_only_as_keyword.empty()) {
        return fail(type_error(full_name(spec) + " got some positional-only arguments passed as keyword arguments: " +
                               name_list(positional_only_as_keyword)));
    }

    std::vector<const char*> missing;
    for (size_t p = positional; p < spec.required; ++p) {
        if (slots[p] == nullptr) {
            missing.push_back(spec.parameters[p]);
        }
    }
    if (!missing.empty()) {
        return fail(type_error(full_name(spec) + " missing " + std::to_string(missing.size()) +
                               " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                               name_list(missing)));
    }
    return {};
}

}  // namespace quillane
