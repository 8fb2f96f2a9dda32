// The software device: everything host and kernel code see of it. Included through
// gpu/runtime.h, not directly.
#pragma once

#include "gpu/softdevice/types.h"
#include "gpu/softdevice/config.h"
#include "gpu/softdevice/api.h"
#include "gpu/softdevice/symbol.h"
#include "gpu/softdevice/kernel.h"
