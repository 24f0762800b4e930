// Rendering of a path trail into the path text of an error entry.
#include "engine/path_trail.hpp"

#include "engine/messages.hpp"
#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"

namespace quillane {
namespace {

// A data key longer than this many code points is written in paths cut to
// its first kKeptKeyLength code points and a marker of how many were left
// out: the sender of the data picks both a key's length and the number of
// entries under it, and a path per entry that held the whole key would make
// the result grow as their product.
constexpr Py_ssize_t kLongKeyLength = 256;
constexpr Py_ssize_t kKeptKeyLength = 128;

void append_whole_key(std::string& text, PyObject* key);

QUILLANE_NOINLINE QUILLANE_COLD void append_long_key(std::string& text, PyObject* key) {
    Ref head = Ref::steal(PyUnicode_Substring(key, 0, kKeptKeyLength));
    if (!head) [[unlikely]] {
        throw_api_call_failed();
    }
    append_whole_key(text, head.get());
    text += "...(";
    text += render_count(static_cast<uint64_t>(PyUnicode_GET_LENGTH(key) - kKeptKeyLength));
    text += " more characters)";
}

void append_key(std::string& text, PyObject* key) {
    if (PyUnicode_GET_LENGTH(key) > kLongKeyLength) [[unlikely]] {
        append_long_key(text, key);
        return;
    }
    append_whole_key(text, key);
}

void append_whole_key(std::string& text, PyObject* key) {
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
