// Portable sign words: one compare per value, written so that the compiler
// may vectorise the 64-value loop for whatever the baseline target offers.
#include <cstdint>
#include <cstring>

#include "kernels/dispatch.h"
#include "kernels/sign_bits.h"

namespace kwivel {
namespace kern {
namespace {

bool sign_words_portable(const float* values, std::size_t n_words, std::uint64_t* words) {
    std::uint32_t bad = 0;
    for (std::size_t w = 0; w < n_words; ++w) {
        const float* v = values + 64 * w;
        std::uint64_t word = 0;
        for (unsigned b = 0; b < 64; ++b) {
            std::uint32_t u;
            std::memcpy(&u, v + b, sizeof u);
            bad |= static_cast<std::uint32_t>((u & kExponentMask) == kExponentMask);
            word |= static_cast<std::uint64_t>(v[b] > 0.0f) << b;
        }
        words[w] = word;
    }
    return bad == 0;
}

}  // namespace
}  // namespace kern

void install_sign_portable(KernelTable& t) { t.sign_words = kern::sign_words_portable; }

}  // namespace kwivel
