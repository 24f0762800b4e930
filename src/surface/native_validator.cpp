// The NativeValidator class in one place, as CPython keeps a type: its
// instance layout, its methods validate and collect, its slots (the refusing
// constructor, deallocation) and the PyType_Spec that puts them together.
#include "surface/native_validator.hpp"

#include "engine/conformance_check.hpp"
#include "engine/validation_walk.hpp"
#include "runtime/error_display.hpp"
#include "runtime/inlining.hpp"
#include "runtime/published.hpp"
#include "runtime/stack_limit.hpp"
#include "surface/argument_binding.hpp"
#include "surface/entry_guard.hpp"

#include <atomic>
#include <new>

namespace quillane {
namespace {

constexpr const char* kClassName = "NativeValidator";

struct NativeValidatorObject {
    PyObject ob_base;
    ValidatorNode tree;       // owned; never changed after construction
    // Method calls currently using the tree. Nothing in the module reads it
    // (each call's own reference keeps the instance alive); it stays in the
    // instance's layout as the count a debugger, or code reading the object
    // from outside, can see of a validator in use. Free-threaded, calls on
    // several threads change it at once: changed only by borrow_tree.
    Py_ssize_t borrow_flag;
};

// Adds `delta` to the instance's count of calls using its tree.
inline void borrow_tree(NativeValidatorObject* validator, Py_ssize_t delta) noexcept {
#ifdef Py_GIL_DISABLED
    std::atomic_ref<Py_ssize_t>(validator->borrow_flag).fetch_add(delta, std::memory_order_relaxed);
#else
    validator->borrow_flag += delta;
#endif
}

// Whether an instance holds a compiled tree. Only compile_schema makes one
// that does; an instance made around the refusing constructor (a __new__
// replaced from Python) is zero-filled memory, and every compiled tree is at
// least one level high.
inline bool has_tree(const NativeValidatorObject* validator) noexcept { return validator->tree.height != 0; }

// The TypeError of a method called on an instance without a tree.
PendingError no_tree_error() {
    return PendingError::lazy(PyExc_TypeError, std::string(kClassName) +
                                                   " object holds no compiled schema (only compile_schema() makes "
                                                   "usable instances)");
}

// Filled once and never released; forgotten, not released, when its
// interpreter is gone.
Published<PyTypeObject> g_type;

// For callers that cannot return an error: a failure to create the type is
// an internal fault (after the Python error is printed).
PyTypeObject* native_validator_type_or_fault() {
    Result<PyTypeObject*> type = native_validator_type();
    if (!type) [[unlikely]] {
        display_error(std::move(type.error()));
        throw_fault(std::string("failed to create type object for ") + kClassName);
    }
    return *type;
}

// The methods: bind the argument, hold the instance's tree for the call, run
// the check or the walk, and map its outcome to the return value.

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
        borrow_tree(validator_, 1);
    }
    ~TreeHold() { borrow_tree(validator_, -1); }
    TreeHold(const TreeHold&) = delete;
    TreeHold& operator=(const TreeHold&) = delete;

    const ValidatorNode& tree() const noexcept { return validator_->tree; }

private:
    NativeValidatorObject* validator_;
    Ref reference_;
};

// Walks under way in the interpreter. A walk can be re-entered from the Python
// code it runs (an __index__ method calling validate again); every walk that
// starts while another is under way counts each level it descends, so that
// a chain of re-entries ends in RecursionError rather than in a C stack that
// overflows one uncounted shallow walk at a time. With the GIL, changed only
// with the interpreter lock held. Free-threaded, each thread counts its own
// walks, the ones that share its C stack: a walk on another thread takes
// none of it, and one count would be changed by several threads at once.
#ifdef Py_GIL_DISABLED
thread_local Py_ssize_t g_walks_under_way = 0;
#else
Py_ssize_t g_walks_under_way = 0;
#endif

class WalkScope {
public:
    explicit WalkScope(const ValidatorNode& tree) noexcept
        : guarded_(tree.height > kUnguardedWalkHeight || g_walks_under_way > 0) {
        ++g_walks_under_way;
    }
    // A thread ended at interpreter exit leaves the count raised: the walks
    // that finalisers may still run are then all guarded.
    ~WalkScope() {
        if (thread_holds_interpreter()) {
            --g_walks_under_way;
        }
    }
    WalkScope(const WalkScope&) = delete;
    WalkScope& operator=(const WalkScope&) = delete;

    bool guarded() const noexcept { return guarded_; }
    const char* stack_floor() const noexcept { return guarded_ ? quillane::stack_floor() : nullptr; }

private:
    bool guarded_;
};

// After a switch with a case for each outcome: a value out of the enum's
// range. Out of line, so that the methods' frames, under every walk, hold no
// fault text.
[[noreturn]] QUILLANE_NOINLINE QUILLANE_COLD void throw_unknown_outcome(const char* which) {
    throw_fault(std::string(which) + " ended in none of its outcomes");
}

// What both methods start from: the bound `data` and the verified instance.
struct MethodCall {
    PyObject* data;
    NativeValidatorObject* validator;
};

Result<MethodCall> begin_method_call(const ArgumentSpec& spec, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    QUILLANE_TRY_ASSIGN(PyObject* data, bind_single_argument(spec, args, nargs, kwnames));
    PyTypeObject* type = native_validator_type_or_fault();
    if (!Py_IS_TYPE(self, type) && !PyType_IsSubtype(Py_TYPE(self), type)) {
        return fail(conversion_error(self, "NativeValidator"));
    }
    auto* validator = reinterpret_cast<NativeValidatorObject*>(self);
    if (!has_tree(validator)) [[unlikely]] {
        return fail(no_tree_error());
    }
    return MethodCall{data, validator};
}

Result<Ref> validate_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QUILLANE_TRY_ASSIGN(MethodCall call, begin_method_call(kValidateArguments, self, args, nargs, kwnames));
    TreeHold hold(call.validator);
    Ref data = Ref::borrow(call.data);
    WalkScope scope(hold.tree());
    ConformanceCheck check(scope.guarded(), scope.stack_floor(), /*quiet=*/false);
    switch (check.check_value(hold.tree(), data.get())) {
        case Verdict::Pass:
            return data;
        case Verdict::Fail:
            return none_ref();
        case Verdict::Error:
            return fail(check.context().take_error());
        case Verdict::Undecided:
            break;  // not an answer of the check
    }
    throw_unknown_outcome("the check");
}

Result<Ref> collect_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QUILLANE_TRY_ASSIGN(MethodCall call, begin_method_call(kCollectArguments, self, args, nargs, kwnames));
    TreeHold hold(call.validator);
    Ref data = Ref::borrow(call.data);
    Ref errors = Ref::steal(PyList_New(0));
    if (!errors) [[unlikely]] {
        throw_api_call_failed();
    }
    WalkScope scope(hold.tree());
    ValidationWalk walk(errors.get(), scope.guarded(), scope.stack_floor());
    switch (walk.walk_root(hold.tree(), data.get())) {
        case Verdict::Pass:
        case Verdict::Fail:
            return errors;
        case Verdict::Undecided:
            return none_ref();
        case Verdict::Error:
            return fail(walk.context().take_error());
    }
    throw_unknown_outcome("the walk");
}

PyObject* validate_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_entry([&] { return validate_body(self, args, nargs, kwnames); });
}

PyObject* collect_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_entry([&] { return collect_body(self, args, nargs, kwnames); });
}

PyMethodDef kMethods[] = {
    {"validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(validate_entry)),
     METH_FASTCALL | METH_KEYWORDS, "validate($self, data)\n--\n\n"},
    {"collect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(collect_entry)),
     METH_FASTCALL | METH_KEYWORDS, "collect($self, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The slots, and the PyType_Spec the type is made from.

PyObject* no_constructor_new(PyTypeObject* subtype, PyObject* /*args*/, PyObject* /*kwargs*/) {
    return guard_entry([&]() -> Result<Ref> {
        std::string name = "<unknown>";
        if (Ref type_name = Ref::steal(PyType_GetName(subtype))) {
            Py_ssize_t size = 0;
            if (const char* bytes = PyUnicode_AsUTF8AndSize(type_name.get(), &size)) {
                name.assign(bytes, static_cast<size_t>(size));
            } else {
                PyErr_Clear();
            }
        } else {
            PyErr_Clear();
        }
        return fail(PendingError::lazy(PyExc_TypeError, "No constructor defined for " + name));
    });
}

void native_validator_dealloc(PyObject* self) {
    guard_dealloc([&] {
        auto* validator = reinterpret_cast<NativeValidatorObject*>(self);
        if (has_tree(validator)) {
            validator->tree.~ValidatorNode();
        }
        PyTypeObject* type = Py_TYPE(self);
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_slot(self);
        // Instances of a heap type own a reference to it, taken by tp_alloc.
        Ref::steal(reinterpret_cast<PyObject*>(type)).reset();
    });
}

PyType_Slot kTypeSlots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_methods, kMethods},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_validator_dealloc)},
    {0, nullptr},
};

// "builtins.NativeValidator", not "quillane_core.NativeValidator": the
// module's interface fixes the class's __module__ as "builtins" (so its repr
// reads <class 'builtins.NativeValidator'>), and a heap type takes __module__
// from the part of the PyType_Spec name before the last dot.
PyType_Spec kTypeSpec = {
    .name = "builtins.NativeValidator",
    .basicsize = static_cast<int>(sizeof(NativeValidatorObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kTypeSlots,
};

}  // namespace

Result<PyTypeObject*> native_validator_type() {
    if (PyTypeObject* type = g_type.get()) {
        return type;
    }
    PyObject* created = PyType_FromSpec(&kTypeSpec);
    if (created == nullptr) {
        return fail(error_of_failed_call());
    }
    return g_type.fill(Ref::steal(created));  // kept for the life of the interpreter
}

void forget_native_validator_type() noexcept {
    g_type.forget();
    // Raised for good by a thread that the interpreter's exit ended inside a
    // walk (free-threaded: the count of the thread that ends the
    // interpreter).
    g_walks_under_way = 0;
}

Result<Ref> new_native_validator(ValidatorNode tree) {
    QUILLANE_TRY_ASSIGN(PyTypeObject* type, native_validator_type());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) {
        alloc = PyType_GenericAlloc;
    }
    QUILLANE_TRY_ASSIGN(Ref instance, steal_or_error(alloc(type, 0)));
    auto* validator = reinterpret_cast<NativeValidatorObject*>(instance.get());
    new (&validator->tree) ValidatorNode(std::move(tree));
    validator->borrow_flag = 0;
    return instance;
}

}  // namespace quillane
