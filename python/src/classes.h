// What the module's execution step registers.
#pragma once

#include "frame.h"

namespace kwivel::py {

// Type specifications of the index classes.
extern PyType_Spec rank_spec;
extern PyType_Spec rank_quant_spec;
extern PyType_Spec bitmap_spec;
extern PyType_Spec sign_bitmap_spec;

// The module functions, in registration order, ending with a null entry.
extern PyMethodDef module_functions[];

}  // namespace kwivel::py
