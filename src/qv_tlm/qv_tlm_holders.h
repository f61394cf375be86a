// Shared ownership of a context inside the agc module (not exported). The
// owner holds a context from qv_tlm_create to qv_tlm_destroy, and every AGC
// attached to it holds it too; whoever lets go last frees it, so an AGC can
// never emit into freed memory, whatever order things end in.
#pragma once

#include "qv_tlm/qv_tlm_core.h"

void qv_tlm_retain(qv_tlm *t);
void qv_tlm_release(qv_tlm *t);
