// Surrogate scans, 16 bytes at a time where the str is that long: a code
// unit is a surrogate when its top bits are those of U+D800..U+DFFF. SSE2 is
// part of every x86-64 and NEON of every aarch64; elsewhere the scan takes a
// machine word at a time, its lanes tested at once with the classic "has a
// zero lane" bit trick (exact for the question "any zero lane", though not
// for which one).
#include "engine/surrogate_scan.hpp"

#include <cstring>
#include <unordered_set>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QUILLANE_SCAN_SSE2 1
#elif defined(__ARM_NEON) || defined(__aarch64__)
#include <arm_neon.h>
#define QUILLANE_SCAN_NEON 1
#endif

namespace quillane {
namespace {

// The bits that tell a surrogate, and their value in one.
template <class Unit>
// For 2-byte units ~ promotes to int, and the cast takes it back.
// NOLINTNEXTLINE(readability-redundant-casting)
constexpr Unit kSurrogateMask = static_cast<Unit>(~Unit{0x7FF});
template <class Unit>
constexpr Unit kSurrogateBits = static_cast<Unit>(0xD800);

template <class Unit>
bool scan_one_at_a_time(const Unit* units, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) {
        if ((units[i] & kSurrogateMask<Unit>) == kSurrogateBits<Unit>) {
            return true;
        }
    }
    return false;
}

#if defined(QUILLANE_SCAN_SSE2)

using Block = __m128i;
constexpr size_t kBlockBytes = sizeof(Block);

// The surrogate mask and bits of one unit width, in every lane: loaded from
// memory through a pointer the optimiser cannot see through, since some
// compilers (g++ 16) otherwise build each constant from an immediate, with
// several instructions per scan, which for short strs cost more than the
// two loads.
template <class Unit>
struct alignas(kBlockBytes) SurrogateConstants {
    static constexpr size_t kLanes = kBlockBytes / sizeof(Unit);
    Unit mask[kLanes];
    Unit bits[kLanes];
};
template <class Unit>
constexpr SurrogateConstants<Unit> make_surrogate_constants() noexcept {
    SurrogateConstants<Unit> constants{};
    for (size_t i = 0; i < SurrogateConstants<Unit>::kLanes; ++i) {
        constants.mask[i] = kSurrogateMask<Unit>;
        constants.bits[i] = kSurrogateBits<Unit>;
    }
    return constants;
}
template <class Unit>
constexpr SurrogateConstants<Unit> kSurrogateConstants = make_surrogate_constants<Unit>();

// Which units of the 16 bytes at `bytes` are surrogates: those lanes are
// all-ones. The constants are loaded once per scan, for all of its blocks.
template <class Unit>
class SurrogateLanes {
public:
    SurrogateLanes() noexcept {
        const SurrogateConstants<Unit>* constants = &kSurrogateConstants<Unit>;
#if defined(__GNUC__) || defined(__clang__)
        asm("" : "+r"(constants));
#endif
        mask_ = _mm_load_si128(reinterpret_cast<const Block*>(constants->mask));
        bits_ = _mm_load_si128(reinterpret_cast<const Block*>(constants->bits));
    }
    Block operator()(const void* bytes) const noexcept {
        const Block block = _mm_and_si128(_mm_loadu_si128(static_cast<const Block*>(bytes)), mask_);
        if constexpr (sizeof(Unit) == 2) {
            return _mm_cmpeq_epi16(block, bits_);
        } else {
            return _mm_cmpeq_epi32(block, bits_);
        }
    }

private:
    Block mask_;
    Block bits_;
};
Block any_of(Block a, Block b) noexcept { return _mm_or_si128(a, b); }
bool any_lane(Block lanes) noexcept { return _mm_movemask_epi8(lanes) != 0; }

#elif defined(QUILLANE_SCAN_NEON)

using Block = uint32x4_t;
constexpr size_t kBlockBytes = sizeof(Block);

// Which units of the 16 bytes at `bytes` are surrogates: those lanes are
// all-ones.
template <class Unit>
class SurrogateLanes {
public:
    Block operator()(const void* bytes) const noexcept {
        if constexpr (sizeof(Unit) == 2) {
            const uint16x8_t block = vld1q_u16(static_cast<const uint16_t*>(bytes));
            return vreinterpretq_u32_u16(
                vceqq_u16(vandq_u16(block, vdupq_n_u16(kSurrogateMask<Unit>)), vdupq_n_u16(kSurrogateBits<Unit>)));
        } else {
            const uint32x4_t block = vld1q_u32(static_cast<const uint32_t*>(bytes));
            return vceqq_u32(vandq_u32(block, vdupq_n_u32(kSurrogateMask<Unit>)), vdupq_n_u32(kSurrogateBits<Unit>));
        }
    }
};
Block any_of(Block a, Block b) noexcept { return vorrq_u32(a, b); }
bool any_lane(Block lanes) noexcept { return vmaxvq_u32(lanes) != 0; }

#endif

#if defined(QUILLANE_SCAN_SSE2) || defined(QUILLANE_SCAN_NEON)

template <class Unit>
bool scan_units(const Unit* units, size_t count) noexcept {
    constexpr size_t kPerBlock = kBlockBytes / sizeof(Unit);
    if (count < kPerBlock) {
        return scan_one_at_a_time(units, count);
    }
    const SurrogateLanes<Unit> surrogate_lanes;
    size_t i = 0;
    // Four blocks a step, one test for the four.
    for (; i + 4 * kPerBlock <= count; i += 4 * kPerBlock) {
        const Block lanes = any_of(
            any_of(surrogate_lanes(units + i), surrogate_lanes(units + i + kPerBlock)),
            any_of(surrogate_lanes(units + i + (2 * kPerBlock)), surrogate_lanes(units + i + (3 * kPerBlock))));
        if (any_lane(lanes)) {
            return true;
        }
    }
    for (; i + kPerBlock <= count; i += kPerBlock) {
        if (any_lane(surrogate_lanes(units + i))) {
            return true;
        }
    }
    // The last block ends at the str's end, overlapping units already seen.
    return i < count && any_lane(surrogate_lanes(units + count - kPerBlock));
}

#else

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
    constexpr size_t kPerWord = sizeof(uint64_t) / sizeof(Unit);
    constexpr uint64_t kLaneOnes = each_lane<Unit>(1);
    constexpr uint64_t kLaneHighBits = each_lane<Unit>(static_cast<Unit>(Unit{1} << (8 * sizeof(Unit) - 1)));
    size_t i = 0;
    for (; i + kPerWord <= count; i += kPerWord) {
        uint64_t word = 0;
        std::memcpy(&word, units + i, sizeof word);
        word = (word & each_lane(kSurrogateMask<Unit>)) ^ each_lane(kSurrogateBits<Unit>);
        if (((word - kLaneOnes) & ~word & kLaneHighBits) != 0) {
            return true;
        }
    }
    return scan_one_at_a_time(units + i, count - i);
}

#endif

// The scan of a str of two- or four-byte code units (`kind`), every time it
// is asked for.
bool wide_str_has_surrogate_units(PyObject* text, int kind) noexcept {
    const auto count = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    const void* units = wide_str_units(text);
    if (kind == PyUnicode_2BYTE_KIND) {
        return scan_units(static_cast<const uint16_t*>(units), count);
    }
    return scan_units(static_cast<const uint32_t*>(units), count);
}

}  // namespace

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

bool SurrogateScans::scan_wide(PyObject* text, int kind) {
    if (wide_str_has_cached_utf8(text)) {
        return false;
    }
    if (PyUnicode_GET_LENGTH(text) < kRememberedLength) [[likely]] {
        return wide_str_has_surrogate_units(text, kind);
    }
    return scan_long(text, kind);
}

bool SurrogateScans::scan_long(PyObject* text, int kind) {
#ifdef Py_GIL_DISABLED
    if (remembered_ && remembered_->clean.contains(text)) {
        return false;
    }
#else
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
#endif
    if (wide_str_has_surrogate_units(text, kind)) {
        return true;  // the walk ends on it
    }
    if (!remembered_) {
        remembered_ = std::make_unique<Remembered>();
        remembered_->subclasses_since = walks_.python_code_runs();
    }
#ifdef Py_GIL_DISABLED
    // Free-threaded, another thread may drop a str at any moment, so that
    // its address could be reused: every one remembered is held, subclass
    // instances too (their finaliser may run at the call's end, as any item
    // another thread took out of the data may at any step).
    remembered_->held.push_back(Ref::borrow(text));
    remembered_->clean.insert(text);
#else
    if (exact) {
        remembered_->held.push_back(Ref::borrow(text));
        remembered_->clean.insert(text);
    } else {
        remembered_->clean_subclasses.insert(text);
    }
#endif
    return false;
}

PendingError no_utf8_form(PyObject* text) {
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(text, &size) != nullptr) [[unlikely]] {
        throw_fault("a str with a lone surrogate had a UTF-8 form");
    }
    return error_of_failed_call();
}

}  // namespace quillane
