// The AGCBank type of quorvel.agc.
#pragma once

#include "common/python.h"

// Fills the type object and returns it, for the module to ready and add.
PyTypeObject *agc_bank_type();
