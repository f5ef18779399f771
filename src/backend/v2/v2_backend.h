#pragma once

// The classes the back-end bundle creates for v2 devices.

#include "backend/v2/compatibility_checker.h"
#include "backend/v2/io_recorder.h"
#include "backend/v2/layer_recorder.h"
#include "backend/v2/memory_sizer.h"
