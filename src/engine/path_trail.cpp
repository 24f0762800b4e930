// Rendering of a path trail into the path text of an error entry.
#include "engine/path_trail.hpp"

#include "engine/messages.hpp"
#include "runtime/failure.hpp"

namespace quillane {
namespace {

void append_key(std::string& text, PyObject* key) {
    if (PyUnicode_IS_ASCII(key)) {
        text.append(static_cast<const char*>(PyUnicode_DATA(key)), static_cast<size_t>(PyUnicode_GET_LENGTH(key)));
        return;
    }
    // A new bytes object: unlike asking for the str's UTF-8 form, this
    // attaches nothing to the str.
    Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(key));
    if (!utf8) [[unlikely]] {
        throw_api_call_failed();
    }
    text.append(PyBytes_AS_STRING(utf8.get()), static_cast<size_t>(PyBytes_GET_SIZE(utf8.get())));
}

}  // namespace

std::string PathTrail::render() const {
    std::string text;
    for (const Step& step : steps_) {
        if (step.kind == StepKind::Index) {
            text += '[';
            text += render_count(step.index_or_size);
            text += ']';
            continue;
        }
        if (!text.empty()) {
            text += '.';
        }
        if (step.kind == StepKind::Name) {
            text.append(step.name, static_cast<size_t>(step.index_or_size));
        } else {
            append_key(text, step.key);
        }
    }
    return text;
}

}  // namespace quillane
