// The telemetry context that a set_telemetry call of the agc module names.
#pragma once

#include "common/pyref.h"
#include "common/python.h"
#include "qv_tlm/qv_tlm_core.h"
#include "qv_tlm/qv_tlm_holders.h"

namespace qv::agc {

// A hold on the named context for the length of one set_telemetry call. An
// AGCBank call may wait for its bank with the interpreter lock released; a
// close() that runs meanwhile then only lets go of the owner's hold, and the
// context stays alive until the attachment holds it or the call lets go.
class ContextHold {
public:
    ContextHold() = default;
    ContextHold(const ContextHold &) = delete;
    ContextHold &operator=(const ContextHold &) = delete;
    ~ContextHold() {
        if (context_) qv_tlm_release(context_);
    }
    qv_tlm *get() const { return context_; }

    // None: no context (detach). Else a capsule named
    // "quorvel.telemetry.qv_tlm", or an object carrying one in `_capsule`.
    // False with the error set when it is neither.
    bool take(PyObject *tlm) {
        if (tlm == Py_None) return true;
        PyRef capsule = PyCapsule_CheckExact(tlm) ? PyRef::borrow(tlm)
                                                   : PyRef::steal(PyObject_GetAttrString(tlm, "_capsule"));
        if (!capsule) return false;
        auto *context = static_cast<qv_tlm *>(PyCapsule_GetPointer(capsule.get(), "quorvel.telemetry.qv_tlm"));
        if (!context) return false;
        // Still under the interpreter lock, which the owner's close() keeps.
        qv_tlm_retain(context);
        context_ = context;
        return true;
    }

private:
    qv_tlm *context_ = nullptr;
};

}  // namespace qv::agc
