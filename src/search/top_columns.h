// The best columns of every row of a score matrix: what a partitioned search
// probes, the cells nearest each query.
//
// Contract.  scores is rows x cols floats, row-major.  For each row r,
// out[r * width .. r * width + width) receives the columns of its width
// largest scores, best first: scores descending in the IEEE total order
// (+0.0 above -0.0; NaNs by sign and payload, as total_order_key has them),
// equal scores by ascending column.  width <= cols.  Rows are independent
// and split over the worker pool; the order is total, so the result does
// not depend on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kwivel {

void top_columns(const float* scores, std::size_t rows, std::size_t cols, std::size_t width, std::int64_t* out);

}  // namespace kwivel
