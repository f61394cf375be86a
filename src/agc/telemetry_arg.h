// The telemetry context that a set_telemetry call of the agc module names.
#pragma once

#include "common/pyref.h"
#include "common/python.h"
#include "qv_tlm/qv_tlm_core.h"

namespace qv::agc {

// None: no context (detach). Else a capsule named
// "quorvel.telemetry.qv_tlm", or an object carrying one in `_capsule`.
// False with the error set when it is neither.
inline bool telemetry_context(PyObject *tlm, qv_tlm **context) {
    *context = nullptr;
    if (tlm == Py_None) return true;
    PyRef capsule = PyCapsule_CheckExact(tlm) ? PyRef::borrow(tlm) : PyRef::steal(PyObject_GetAttrString(tlm, "_capsule"));
    if (!capsule) return false;
    *context = static_cast<qv_tlm *>(PyCapsule_GetPointer(capsule.get(), "quorvel.telemetry.qv_tlm"));
    return *context != nullptr;
}

}  // namespace qv::agc
