// The path from the root to the value being walked, kept as a stack of steps
// and written out as text only when an error entry needs it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillane {

class PathTrail {
public:
    PathTrail() { steps_.reserve(16); }

    // The path text: "[i]" for a list item; for a key, the key alone while
    // the text so far is empty, else "." and the key. Keys are copied byte
    // for byte, unquoted.
    std::string render() const;

private:
    friend class PathStep;

    struct Step {
        const char* key;  // null for a list index; the bytes outlive the step
        uint64_t key_size_or_index;
    };

    std::vector<Step> steps_;
};

// One step down the trail for as long as the child is walked.
class PathStep {
public:
    PathStep(PathTrail& trail, uint64_t index) : trail_(trail) { trail.steps_.push_back({nullptr, index}); }
    PathStep(PathTrail& trail, const char* key, size_t key_size) : trail_(trail) {
        trail.steps_.push_back({key, key_size});
    }
    ~PathStep() { trail_.steps_.pop_back(); }
    PathStep(const PathStep&) = delete;
    PathStep& operator=(const PathStep&) = delete;

private:
    PathTrail& trail_;
};

}  // namespace quillane
