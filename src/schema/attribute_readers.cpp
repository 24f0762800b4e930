// Attribute lookup and value readers of the schema compiler.
#include "schema/attribute_readers.hpp"

#include "runtime/published.hpp"

namespace quillane {
namespace {

struct AttributeName {
    Attribute attribute;
    const char* name;
};

// Each attribute beside its name, in the enum's order: a pair out of place
// fails to compile.
constexpr AttributeName kAttributeNames[] = {
    {Attribute::Coerce, "_coerce"},
    {Attribute::CustomChecks, "_custom_checks"},
    {Attribute::WhenCondition, "_when_condition"},
    {Attribute::EnvKey, "_env_key"},
    {Attribute::TypeCls, "_type_cls"},
    {Attribute::Name, "__name__"},
    {Attribute::Min, "_min"},
    {Attribute::Max, "_max"},
    {Attribute::ExclusiveMin, "_exclusive_min"},
    {Attribute::ExclusiveMax, "_exclusive_max"},
    {Attribute::Regex, "_regex"},
    {Attribute::MinLen, "_min_len"},
    {Attribute::MaxLen, "_max_len"},
    {Attribute::ItemValidator, "_item_validator"},
    {Attribute::KeyType, "_key_type"},
    {Attribute::ValueValidator, "_value_validator"},
};
static_assert(std::size(kAttributeNames) == static_cast<size_t>(Attribute::Count));
static_assert([] {
    for (size_t i = 0; i < std::size(kAttributeNames); ++i) {
        if (kAttributeNames[i].attribute != static_cast<Attribute>(i)) {
            return false;
        }
    }
    return true;
}());

// Each filled once; the references are never released, only forgotten when
// their interpreter is gone.
std::array<Published<PyObject>, static_cast<size_t>(Attribute::Count)> g_names{};

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
    Published<PyObject>& name = g_names[static_cast<size_t>(attribute)];
    if (PyObject* filled = name.get()) {
        return filled;
    }
    const char* text = kAttributeNames[static_cast<size_t>(attribute)].name;
    QUILLANE_TRY_ASSIGN(Ref created, steal_or_error(PyUnicode_InternFromString(text)));
    return name.fill(std::move(created));
}

void forget_attribute_names() noexcept {
    for (Published<PyObject>& name : g_names) {
        name.forget();
    }
}

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
