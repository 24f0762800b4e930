// Attribute lookup and value readers of the schema compiler.
#include "schema/attribute_readers.hpp"

namespace quillane {
namespace {

constexpr const char* kAttributeNames[] = {
    "_coerce",   "_custom_checks",   "_when_condition", "_env_key", "_type_cls", "__name__", "_min",
    "_max",      "_exclusive_min",   "_exclusive_max",  "_regex",   "_min_len",  "_max_len", "_item_validator",
    "_key_type", "_value_validator",
};
static_assert(std::size(kAttributeNames) == static_cast<size_t>(Attribute::Count));

// Written under the interpreter lock; the references are never released,
// only forgotten when their interpreter is gone.
std::array<PyObject*, static_cast<size_t>(Attribute::Count)> g_names{};

template <class Value>
Result<std::optional<Value>> optional_of(PyObject* value, Result<Value> (*reader)(PyObject*)) {
    if (value == Py_None) {
        return std::optional<Value>();
    }
    QUILLANE_TRY_ASSIGN(Value read, reader(value));
    return std::optional<Value>(read);
}

}  // namespace

Result<PyObject*> attribute_name(Attribute attribute) {
    PyObject*& name = g_names[static_cast<size_t>(attribute)];
    if (name == nullptr) {
        const char* text = kAttributeNames[static_cast<size_t>(attribute)];
        QUILLANE_TRY_ASSIGN(Ref created, steal_or_error(PyUnicode_InternFromString(text)));
        name = created.release();
    }
    return name;
}

void forget_attribute_names() noexcept { g_names.fill(nullptr); }

Result<Ref> get_attribute(PyObject* object, Attribute attribute) {
    QUILLANE_TRY_ASSIGN(PyObject* name, attribute_name(attribute));
    return steal_or_error(PyObject_GetAttr(object, name));
}

Result<bool> read_bool_attribute(PyObject* object, Attribute attribute) {
    QUILLANE_TRY_ASSIGN(Ref value, get_attribute(object, attribute));
    return read_bool(value.get());
}

Result<std::optional<double>> read_double_attribute(PyObject* object, Attribute attribute) {
    QUILLANE_TRY_ASSIGN(Ref value, get_attribute(object, attribute));
    return optional_of<double>(value.get(), read_double);
}

Result<std::optional<uint64_t>> read_count_attribute(PyObject* object, Attribute attribute) {
    QUILLANE_TRY_ASSIGN(Ref value, get_attribute(object, attribute));
    return optional_of<uint64_t>(value.get(), read_uint64);
}

Result<size_t> match_type_name(PyObject* object, Attribute attribute, std::initializer_list<std::string_view> names) {
    QUILLANE_TRY_ASSIGN(Ref type_like, get_attribute(object, attribute));
    QUILLANE_TRY_ASSIGN(Ref name, get_attribute(type_like.get(), Attribute::Name));
    QUILLANE_TRY_ASSIGN(std::string_view text, read_text_view(name.get()));
    size_t index = 0;
    for (std::string_view candidate : names) {
        if (text == candidate) {
            break;
        }
        ++index;
    }
    return index;
}

}  // namespace quillane
