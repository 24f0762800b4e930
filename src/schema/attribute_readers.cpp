// Attribute lookup and value readers of the schema compiler.
#include "schema/attribute_readers.hpp"

namespace quillane {
namespace {

template <class Reader>
auto read_attribute(PyObject* object, const char* name, Reader reader) -> decltype(reader(object)) {
    Result<Ref> value = get_attribute(object, name);
    if (!value) {
        return fail(std::move(value.error()));
    }
    return reader(value->get());
}

}  // namespace

Result<Ref> get_attribute(PyObject* object, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(object, name));
    if (!value) {
        return fail(fetch_pending());
    }
    return value;
}

Result<std::optional<double>> read_optional_double(PyObject* value) {
    if (value == Py_None) {
        return std::optional<double>();
    }
    Result<double> number = read_double(value);
    if (!number) {
        return fail(std::move(number.error()));
    }
    return std::optional<double>(*number);
}

Result<std::optional<uint64_t>> read_optional_count(PyObject* value) {
    if (value == Py_None) {
        return std::optional<uint64_t>();
    }
    Result<uint64_t> count = read_uint64(value);
    if (!count) {
        return fail(std::move(count.error()));
    }
    return std::optional<uint64_t>(*count);
}

Result<bool> read_bool_attribute(PyObject* object, const char* name) {
    return read_attribute(object, name, read_bool);
}

Result<std::optional<double>> read_double_attribute(PyObject* object, const char* name) {
    return read_attribute(object, name, read_optional_double);
}

Result<std::optional<uint64_t>> read_count_attribute(PyObject* object, const char* name) {
    return read_attribute(object, name, read_optional_count);
}

Result<std::string> read_type_name_attribute(PyObject* object, const char* name) {
    return read_attribute(object, name, [](PyObject* type_like) -> Result<std::string> {
        return read_attribute(type_like, "__name__", read_text);
    });
}

}  // namespace quillane
