// Surrogate scans, a machine word at a time: a code unit is a surrogate when
// its top bits are those of U+D800..U+DFFF, and a word's lanes are tested
// for that all at once with the classic "has a zero lane" bit trick (exact
// for the question "any zero lane", though not for which one).
#include "engine/surrogate_scan.hpp"

#include <cstring>
#include <unordered_set>
#include <vector>

namespace quillane {
namespace {

// A word's worth of one constant per lane.
template <class Unit>
constexpr uint64_t each_lane(Unit lane) noexcept {
    uint64_t word = 0;
    for (size_t i = 0; i < sizeof(uint64_t) / sizeof(Unit); ++i) {
        word = (word << (8 * sizeof(Unit))) | lane;
    }
    return word;
}

template <class Unit>
bool scan_units(const Unit* units, size_t count) noexcept {
    // Units of 2 or 4 bytes; the mask keeps the bits that tell a surrogate.
    constexpr auto kMask = static_cast<Unit>(~Unit{0x7FF});
    constexpr auto kSurrogate = static_cast<Unit>(0xD800);
    constexpr size_t kPerWord = sizeof(uint64_t) / sizeof(Unit);
    constexpr uint64_t kLaneOnes = each_lane<Unit>(1);
    constexpr uint64_t kLaneHighBits = each_lane<Unit>(static_cast<Unit>(Unit{1} << (8 * sizeof(Unit) - 1)));
    size_t i = 0;
    for (; i + kPerWord <= count; i += kPerWord) {
        uint64_t word = 0;
        std::memcpy(&word, units + i, sizeof word);
        word = (word & each_lane(kMask)) ^ each_lane(kSurrogate);
        if (((word - kLaneOnes) & ~word & kLaneHighBits) != 0) {
            return true;
        }
    }
    for (; i < count; ++i) {
        if ((units[i] & kMask) == kSurrogate) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool has_surrogate_units(const uint16_t* units, size_t count) noexcept { return scan_units(units, count); }
bool has_surrogate_units(const uint32_t* units, size_t count) noexcept { return scan_units(units, count); }

struct SurrogateScans::Remembered {
    std::unordered_set<PyObject*> clean;
    std::vector<Ref> held;
    // Subclass instances found clean since Python code last may have run
    // (the walks' count then is `subclasses_since`).
    std::unordered_set<PyObject*> clean_subclasses;
    uint64_t subclasses_since = 0;
};

SurrogateScans::SurrogateScans(const ContainerWalks& walks) noexcept : walks_(walks) {}
SurrogateScans::~SurrogateScans() = default;

bool SurrogateScans::scan_long(PyObject* text) {
    const bool exact = PyUnicode_CheckExact(text);
    if (remembered_) {
        if (!exact && remembered_->subclasses_since != walks_.python_code_runs()) {
            remembered_->clean_subclasses.clear();
            remembered_->subclasses_since = walks_.python_code_runs();
        }
        if ((exact ? remembered_->clean : remembered_->clean_subclasses).contains(text)) {
            return false;
        }
    }
    if (quillane::has_lone_surrogate(text)) {
        return true;  // the walk ends on it
    }
    if (!remembered_) {
        remembered_ = std::make_unique<Remembered>();
        remembered_->subclasses_since = walks_.python_code_runs();
    }
    if (exact) {
        remembered_->held.push_back(Ref::borrow(text));
        remembered_->clean.insert(text);
    } else {
        remembered_->clean_subclasses.insert(text);
    }
    return false;
}

}  // namespace quillane
