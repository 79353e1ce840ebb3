// The kernel variants compiled into the library, one table per instruction
// set. Only kernels.cpp, which chooses among them at run time, and the
// variant files themselves include this header.
#pragma once

#include "core/kernels.h"

namespace orlo_kiv::kernels {

extern const KernelTable kPortableKernels;
extern const KernelTable kAvx2Kernels;
extern const KernelTable kAvx512Kernels;

}  // namespace orlo_kiv::kernels
