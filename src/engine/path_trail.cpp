// Rendering of a path trail into the path text of an error entry.
#include "engine/path_trail.hpp"

#include "engine/messages.hpp"

namespace quillane {

std::string PathTrail::render() const {
    std::string text;
    for (const Step& step : steps_) {
        if (step.key == nullptr) {
            text += '[';
            text += render_count(step.key_size_or_index);
            text += ']';
        } else {
            if (!text.empty()) {
                text += '.';
            }
            text.append(step.key, static_cast<size_t>(step.key_size_or_index));
        }
    }
    return text;
}

}  // namespace quillane
