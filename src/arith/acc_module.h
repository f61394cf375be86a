// The accumulator types AccQ15 and AccQ8 of quorvel.arith.
#pragma once

#include "common/python.h"

extern PyTypeObject AccQ15_Type;
extern PyTypeObject AccQ8_Type;

// Fills both type objects; called once before the module readies them.
void qv_init_acc_types();
