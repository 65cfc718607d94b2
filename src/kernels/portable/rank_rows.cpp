// Portable rank rows: the shared body (kernels/rank_rows_body.inc) at
// baseline x86-64.
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/float_keys.h"
#include "kernels/dispatch.h"

namespace kwivel {
namespace kern {
namespace {

#include "kernels/rank_rows_body.inc"

}  // namespace
}  // namespace kern

void install_rank_rows_portable(KernelTable& t) { t.rank_row = kern::rank_row; }

}  // namespace kwivel
