#include "call_depth.h"

engine::ThreadSlot g_callDepthSlot;
