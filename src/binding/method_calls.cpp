// The two methods: bind the argument, hold the instance's tree for the call,
// run the check or the walk, and map its outcome to the return value.
#include "binding/method_calls.hpp"

#include "binding/argument_binding.hpp"
#include "binding/entry_guard.hpp"
#include "binding/native_validator.hpp"
#include "engine/conformance_check.hpp"
#include "engine/validation_walk.hpp"

namespace quillane {
namespace {

constexpr const char* kDataParameter[] = {"data"};
constexpr ArgumentSpec kValidateArguments{"NativeValidator", "validate", kDataParameter, 0, 1};
constexpr ArgumentSpec kCollectArguments{"NativeValidator", "collect", kDataParameter, 0, 1};

// A shared hold on an instance's tree for the length of one method call:
// counted in borrow_flag and backed by a reference of its own, so that code
// run during the call cannot free the instance under it. Holds nest.
class TreeHold {
public:
    explicit TreeHold(NativeValidatorObject* validator) noexcept
        : validator_(validator), reference_(Ref::borrow(reinterpret_cast<PyObject*>(validator))) {
        ++validator_->borrow_flag;
    }
    ~TreeHold() { --validator_->borrow_flag; }
    TreeHold(const TreeHold&) = delete;
    TreeHold& operator=(const TreeHold&) = delete;

    const ValidatorNode& tree() const noexcept { return validator_->tree; }

private:
    NativeValidatorObject* validator_;
    Ref reference_;
};

// What both methods start from: the bound `data` and the verified instance.
struct MethodCall {
    PyObject* data;
    NativeValidatorObject* validator;
};

Result<MethodCall> begin_method_call(const ArgumentSpec& spec, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    Result<PyObject*> data = bind_single_argument(spec, args, nargs, kwnames);
    if (!data) {
        return fail(std::move(data.error()));
    }
    PyTypeObject* type = native_validator_type_or_fault();
    if (!Py_IS_TYPE(self, type) && !PyType_IsSubtype(Py_TYPE(self), type)) {
        return fail(conversion_error(self, "NativeValidator"));
    }
    return MethodCall{*data, reinterpret_cast<NativeValidatorObject*>(self)};
}

Result<Ref> validate_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Result<MethodCall> call = begin_method_call(kValidateArguments, self, args, nargs, kwnames);
    if (!call) {
        return fail(std::move(call.error()));
    }
    TreeHold hold(call->validator);
    Ref data = Ref::borrow(call->data);
    ConformanceCheck check(hold.tree());
    switch (check.check_node(hold.tree(), data.get())) {
        case CheckResult::Pass:
            return data;
        case CheckResult::Fail:
            return none_ref();
        case CheckResult::Error:
            break;
    }
    return fail(check.take_error());
}

Result<Ref> collect_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Result<MethodCall> call = begin_method_call(kCollectArguments, self, args, nargs, kwnames);
    if (!call) {
        return fail(std::move(call.error()));
    }
    TreeHold hold(call->validator);
    Ref data = Ref::borrow(call->data);
    Ref errors = Ref::steal(PyList_New(0));
    if (!errors) [[unlikely]] {
        raise_api_call_failed();
    }
    ValidationWalk walk(errors.get(), hold.tree());
    switch (walk.walk_node(hold.tree(), data.get())) {
        case WalkOutcome::Valid:
        case WalkOutcome::Invalid:
            return errors;
        case WalkOutcome::Undecided:
            return none_ref();
        case WalkOutcome::Failed:
            break;
    }
    return fail(walk.take_error());
}

PyObject* validate_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_entry([&] { return validate_body(self, args, nargs, kwnames); });
}

PyObject* collect_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_entry([&] { return collect_body(self, args, nargs, kwnames); });
}

}  // namespace

PyMethodDef kNativeValidatorMethods[] = {
    {"validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(validate_entry)),
     METH_FASTCALL | METH_KEYWORDS, "validate($self, data)\n--\n\n"},
    {"collect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(collect_entry)),
     METH_FASTCALL | METH_KEYWORDS, "collect($self, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quillane
