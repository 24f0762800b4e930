// The path from the root to the value being walked, kept as a stack of steps
// and written out as text only when an error entry needs it.
#pragma once

#include "runtime/py_ref.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace quillane {

class PathTrail {
public:
    // The path text: "[i]" for a list item; for a key, the key alone while
    // the text so far is empty, else "." and the key. Keys are copied byte
    // for byte (their UTF-8 form), unquoted. A data key's UTF-8 form is made
    // here, into a bytes object of the trail's own, so that the key is left
    // without a cached copy. Throws an internal fault if that fails.
    std::string render() const;

private:
    friend class PathStep;

    enum class StepKind : uint8_t { Index, Name, Key };
    struct Step {
        StepKind kind;
        uint64_t index_or_size;  // Index: the index; Name: the byte count
        const char* name;        // Name: UTF-8 bytes owned by the tree
        PyObject* key;           // Key: a str held by the walk while the step lasts
    };

    std::vector<Step> steps_;
};

// One step down the trail for as long as the child is walked.
class PathStep {
public:
    PathStep(PathTrail& trail, uint64_t index) : trail_(trail) {
        trail.steps_.push_back({PathTrail::StepKind::Index, index, nullptr, nullptr});
    }
    // A field name: UTF-8 bytes owned by the tree.
    PathStep(PathTrail& trail, const std::string& name) : trail_(trail) {
        trail.steps_.push_back({PathTrail::StepKind::Name, name.size(), name.data(), nullptr});
    }
    // A data key: a str held by the walk while the step lasts.
    PathStep(PathTrail& trail, PyObject* key) : trail_(trail) {
        trail.steps_.push_back({PathTrail::StepKind::Key, 0, nullptr, key});
    }
    ~PathStep() { trail_.steps_.pop_back(); }
    PathStep(const PathStep&) = delete;
    PathStep& operator=(const PathStep&) = delete;

private:
    PathTrail& trail_;
};

}  // namespace quillane
