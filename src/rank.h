// Rank transform, rank norm and the Rank index core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kwivel {

inline constexpr std::size_t MAX_DIM = 65535;
inline constexpr std::size_t MAX_SIGN_BITMAP_DIM = 16777216;
inline constexpr std::size_t MAX_VECTORS = 67108864;

// Writes the rank of every coordinate of values[0..d) into out[0..d): the
// smallest value gets rank 0, equal values (-0.0 == +0.0) get consecutive
// ranks in index order.  Values must be finite and d <= 65535.
void rank_transform_into(const float* values, std::size_t d, std::uint16_t* out);
std::vector<std::uint16_t> rank_transform(const float* values, std::size_t d);

// sqrt(d * (d^2 - 1) / 12) in double, rounded once to float.
float rank_norm(std::uint64_t d);

// ----- bucket quantisation and packing ------------------------------------

// floor(r * 2^bits / d) in 64-bit integer arithmetic (r < d, bits <= 8).
inline std::uint8_t rank_to_bucket(std::uint64_t r, std::uint64_t d, unsigned bits) {
    return static_cast<std::uint8_t>((r << bits) / d);
}
// The bucket of every rank; bits <= 8 and every rank < n (internal checks).
std::vector<std::uint8_t> bucket_ranks(const std::uint16_t* ranks, std::size_t n, unsigned bits);
// Packs n codes at bits in {1, 2, 4, 8}, the first code of each byte in its
// most significant bits; n must be a multiple of 8 / bits (internal checks).
std::vector<std::uint8_t> pack_buckets(const std::uint8_t* codes, std::size_t n, unsigned bits);
// Unpacks d codes (d == bytes * 8 / bits) at bits in {1, 2, 4, 8}.
std::vector<std::uint8_t> unpack_buckets(const std::uint8_t* packed, std::size_t d, unsigned bits);
// j - (2^bits - 1) / 2 in float32.
float bucket_centre(unsigned bucket, unsigned bits);
// sqrt(d * (4^bits - 1) / 12) in double, rounded once to float.
float rankquant_norm(std::uint64_t d, unsigned bits);

// Result of a top-k search: nq rows of k_eff entries each.
struct SearchResult {
    std::size_t nq = 0;
    std::size_t k_eff = 0;
    std::vector<float> scores;
    std::vector<std::int64_t> ids;

    // nq rows of k_eff entries, scores 0 and ids -1 until each row is
    // finalised.
    static SearchResult sized(std::size_t nq, std::size_t k_eff);
};

// Full-precision ordinal index: one row of dim uint16 ranks per vector.
class RankIndex {
public:
    explicit RankIndex(std::size_t dim);
    // Adopts validated parts (used by the file loader).
    static RankIndex from_parts(std::size_t dim, std::size_t n_vectors,
                                std::vector<std::uint16_t> ranks);

    std::size_t dim() const { return dim_; }
    std::size_t size() const { return n_vectors_; }
    const std::vector<std::uint16_t>& ranks() const { return ranks_; }
    const std::uint16_t* row(std::size_t i) const { return ranks_.data() + i * dim_; }

    // Appends n_floats / dim rows, rank-transforming them in parallel.
    void add(const float* values, std::size_t n_floats);
    // Moves the last row into row idx; returns the moved row's former id.
    std::size_t swap_remove(std::size_t idx);

    SearchResult search(const float* queries, std::size_t n_floats, std::size_t k) const;
    SearchResult search_asymmetric(const float* queries, std::size_t n_floats,
                                   std::size_t k) const;

private:
    std::size_t dim_;
    std::size_t n_vectors_ = 0;
    std::vector<std::uint16_t> ranks_;
};

// Internal restatement of the finiteness precondition.
void assert_all_finite(const float* values, std::size_t n);

}  // namespace kwivel
