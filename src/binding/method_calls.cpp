// The two methods: bind the argument, hold the instance's tree for the call,
// run the check or the walk, and map its outcome to the return value.
#include "binding/method_calls.hpp"

#include "binding/argument_binding.hpp"
#include "binding/entry_guard.hpp"
#include "binding/native_validator.hpp"
#include "binding/stack_limit.hpp"
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

// Walks under way in this process. A walk can be re-entered from the Python
// code it runs (an __index__ method calling validate again); every walk that
// starts while another is under way counts each level it descends, so that
// a chain of re-entries ends in RecursionError rather than in a C stack that
// overflows one uncounted shallow walk at a time. Changed only with the
// interpreter lock held.
Py_ssize_t g_walks_under_way = 0;

class WalkScope {
public:
    explicit WalkScope(const ValidatorNode& tree) noexcept
        : guarded_(tree.height > kUnguardedWalkHeight || g_walks_under_way > 0) {
        ++g_walks_under_way;
    }
    ~WalkScope() { --g_walks_under_way; }
    WalkScope(const WalkScope&) = delete;
    WalkScope& operator=(const WalkScope&) = delete;

    bool guarded() const noexcept { return guarded_; }
    const char* stack_floor() const noexcept { return guarded_ ? quillane::stack_floor() : nullptr; }

private:
    bool guarded_;
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
    auto* validator = reinterpret_cast<NativeValidatorObject*>(self);
    if (!has_tree(validator)) [[unlikely]] {
        return fail(no_tree_error());
    }
    return MethodCall{*data, validator};
}

Result<Ref> validate_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Result<MethodCall> call = begin_method_call(kValidateArguments, self, args, nargs, kwnames);
    if (!call) {
        return fail(std::move(call.error()));
    }
    TreeHold hold(call->validator);
    Ref data = Ref::borrow(call->data);
    WalkScope scope(hold.tree());
    ConformanceCheck check(scope.guarded(), scope.stack_floor());
    switch (check.check_root(hold.tree(), data.get())) {
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
    WalkScope scope(hold.tree());
    ValidationWalk walk(errors.get(), scope.guarded(), scope.stack_floor());
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
