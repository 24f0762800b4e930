// compile_schema(schema): bind, compile, wrap the tree or answer None.
#include "binding/compile_call.hpp"

#include "binding/argument_binding.hpp"
#include "binding/entry_guard.hpp"
#include "binding/native_validator.hpp"
#include "schema/compiler.hpp"

namespace quillane {
namespace {

constexpr const char* kSchemaParameter[] = {"schema"};
constexpr ArgumentSpec kCompileArguments{nullptr, "compile_schema", kSchemaParameter, 0, 1};

Result<Ref> compile_schema_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Result<PyObject*> schema = bind_single_argument(kCompileArguments, args, nargs, kwnames);
    if (!schema) {
        return fail(std::move(schema.error()));
    }
    Ref held_schema = Ref::borrow(*schema);
    CompileOutcome outcome = compile_node(held_schema.get());
    held_schema.reset();
    if (auto* failure = std::get_if<CompileFailure>(&outcome)) {
        return fail(noted_compile_error(std::move(*failure)));
    }
    if (std::holds_alternative<NotCompilable>(outcome)) {
        return none_ref();
    }
    Result<Ref> validator = new_native_validator(std::move(std::get<ValidatorNode>(outcome)));
    if (!validator) [[unlikely]] {
        raise_internal_fault("expected a NativeValidator for the compiled schema, but creating it failed: " +
                             validator.error().describe());
    }
    return std::move(*validator);
}

PyObject* compile_schema_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_entry([&] { return compile_schema_body(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef kCompileSchemaDefinition = {
    "compile_schema",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compile_schema_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "compile_schema(schema)\n--\n\n",
};

}  // namespace quillane
