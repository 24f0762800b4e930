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

template <class Value>
Result<std::optional<Value>> optional_of(PyObject* value, Result<Value> (*reader)(PyObject*)) {
    if (value == Py_None) {
        return std::optional<Value>();
    }
    Result<Value> read = reader(value);
    if (!read) {
        return fail(std::move(read.error()));
    }
    return std::optional<Value>(*read);
}

}  // namespace

Result<PyObject*> attribute_name(Attribute attribute) {
    // Written under the interpreter lock; the references are never released.
    static std::array<PyObject*, static_cast<size_t>(Attribute::Count)> names{};
    PyObject*& name = names[static_cast<size_t>(attribute)];
    if (name == nullptr) {
        Ref created = Ref::steal(PyUnicode_InternFromString(kAttributeNames[static_cast<size_t>(attribute)]));
        if (!created) {
            return fail(fetch_pending());
        }
        name = created.release();
    }
    return name;
}

Result<Ref> get_attribute(PyObject* object, Attribute attribute) {
    Result<PyObject*> name = attribute_name(attribute);
    if (!name) {
        return fail(std::move(name.error()));
    }
    Ref value = Ref::steal(PyObject_GetAttr(object, *name));
    if (!value) {
        return fail(fetch_pending());
    }
    return value;
}

Result<bool> read_bool_attribute(PyObject* object, Attribute attribute) {
    Result<Ref> value = get_attribute(object, attribute);
    if (!value) {
        return fail(std::move(value.error()));
    }
    return read_bool(value->get());
}

Result<std::optional<double>> read_double_attribute(PyObject* object, Attribute attribute) {
    Result<Ref> value = get_attribute(object, attribute);
    if (!value) {
        return fail(std::move(value.error()));
    }
    return optional_of<double>(value->get(), read_double);
}

Result<std::optional<uint64_t>> read_count_attribute(PyObject* object, Attribute attribute) {
    Result<Ref> value = get_attribute(object, attribute);
    if (!value) {
        return fail(std::move(value.error()));
    }
    return optional_of<uint64_t>(value->get(), read_uint64);
}

Result<size_t> match_type_name(PyObject* object, Attribute attribute, std::initializer_list<std::string_view> names) {
    Result<Ref> type_like = get_attribute(object, attribute);
    if (!type_like) {
        return fail(std::move(type_like.error()));
    }
    Result<Ref> name = get_attribute(type_like->get(), Attribute::Name);
    if (!name) {
        return fail(std::move(name.error()));
    }
    Result<std::string_view> text = read_text_view(name->get());
    if (!text) {
        return fail(std::move(text.error()));
    }
    size_t index = 0;
    for (std::string_view candidate : names) {
        if (*text == candidate) {
            break;
        }
        ++index;
    }
    return index;
}

}  // namespace quillane
