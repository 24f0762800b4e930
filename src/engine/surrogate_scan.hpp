// Whether a str holds a lone surrogate, the only thing that keeps a str from
// having a UTF-8 form: found by scanning its code units, without making that
// form (which the interpreter would keep attached to the str for its life).
#pragma once

#include "runtime/container_walks.hpp"
#include "runtime/failure.hpp"
#include "runtime/inlining.hpp"
#include "runtime/interpreter_version.hpp"
#include "runtime/py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quillane {

// The error a str with a lone surrogate gives when its UTF-8 form is asked
// for: the interpreter's own UnicodeEncodeError, made by asking (the failed
// encoding leaves nothing attached to the str).
PendingError no_utf8_form(PyObject* text);

// The scans of one call. Data can reach one long str through many
// references (a list repeating it, a YAML alias): a long str found clean is
// remembered, so that it is scanned once per call rather than once per
// reference. An exact str is held until the call ends, so that its address
// cannot be taken by another str meanwhile; a str subclass is not (holding it
// could make the call's end run its finaliser), so it is remembered only
// until Python code may next run, the only way it can be freed. Nothing is
// left on the strs themselves.
class SurrogateScans {
public:
    // `walks`: the call's walks, which count where Python code may run.
    explicit SurrogateScans(const ContainerWalks& walks) noexcept;
    ~SurrogateScans();
    SurrogateScans(const SurrogateScans&) = delete;
    SurrogateScans& operator=(const SurrogateScans&) = delete;

    // One-byte strs (ASCII and Latin-1) cannot hold one: they are told in
    // line, wider ones out of line.
    QUILLANE_ALWAYS_INLINE bool has_lone_surrogate(PyObject* text) {
        const int kind = PyUnicode_KIND(text);
        if (kind == PyUnicode_1BYTE_KIND) [[likely]] {
            return false;
        }
        return scan_wide(text, kind);
    }

    // Strs shorter than this are scanned every time: that costs less than a
    // lookup.
    static constexpr Py_ssize_t kRememberedLength = 256;

private:
    struct Remembered;
    // A str of two- or four-byte code units (`kind`): one whose UTF-8 form
    // is already made has none; a short one is scanned, a long one looked up
    // first.
    QUILLANE_NOINLINE bool scan_wide(PyObject* text, int kind);
    QUILLANE_NOINLINE bool scan_long(PyObject* text, int kind);

    const ContainerWalks& walks_;
    std::unique_ptr<Remembered> remembered_;  // made on the first long str
};

}  // namespace quillane
