// The accumulator types AccQ15 and AccQ8 of quorvel.arith.
#pragma once

#include "common/python.h"

// Each fills its type object and returns it, for the module to ready and add.
PyTypeObject *acc_q15_type();
PyTypeObject *acc_q8_type();
