#pragma once
// The filters module's C interface for the other modules of the package: a
// block that owns an sFilter advances it with a plain C call, without going
// through Python (no argument objects, no method lookup). The module offers
// the table as the capsule named below; a user imports it once with
// PyCapsule_Import.

#include <Python.h>

namespace ovelin::binding {

struct FiltersCApi {
    // One sample of `filter`, exactly as its run(ut, y_ini): 0 with the
    // output in *out, or -1 with a Python error set (TypeError when `filter`
    // is not an initialised sFilter).
    int (*sfilter_step)(PyObject* filter, double ut, double y_ini, double* out) noexcept;
};

inline constexpr const char* kFiltersCApiName = "ovelin.algorithm.filters._c_api";

}  // namespace ovelin::binding
