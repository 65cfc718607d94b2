// AVX2 rank rows: the shared body (kernels/rank_rows_body.inc) compiled in
// the AVX2 region, where its key, bucket and window loops vectorise eight
// lanes wide.  The ranks are integers computed by the same steps, so they
// equal the portable tier's.
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/float_keys.h"
#include "kernels/dispatch.h"
#include "kernels/isa.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX2_BEGIN

#include "kernels/rank_rows_body.inc"

KW_TARGET_END
#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_rank_rows_avx2(KernelTable& t) {
#ifdef KW_X86
    t.rank_row = kern::rank_row;
#else
    (void)t;
#endif
}

}  // namespace kwivel
