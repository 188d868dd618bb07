// Python module ovelin.algorithm.softsensor: bias correction of a predicted
// quality value against delayed laboratory results (SoftSensorBiasUpdate,
// bias_update.cpp), and the recorder that appends settled laboratory results
// to a CSV file (LabDataRecorder, recorder.cpp).

#include <nanobind/nanobind.h>

#include "block_support.hpp"
#include "errors.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;
using namespace ovelin::binding::soft_sensor;

namespace {

nb::handle import_attr(const char* module, const char* name) {
    nb::object value = nb::module_::import_(module).attr(name);
    return value.release();
}

}  // namespace

NB_MODULE(softsensor, m) {
    register_error_translation();
    m.doc() = "Soft-sensor support: bias update against laboratory results, and the laboratory-data recorder.";
    const nb::handle sfilter = import_attr("ovelin.algorithm.filters", "sFilter");
    // Once the module is loaded (the capsule is looked up attribute by attribute).
    const auto* filters = static_cast<const FiltersCApi*>(PyCapsule_Import(kFiltersCApiName, 0));
    if (filters == nullptr) throw nb::python_error();
    imported = Imported{sfilter, filters, import_attr("collections", "deque"), import_attr("pathlib", "Path"),
                        import_attr("os", "fspath")};
    bind_bias_update(m);
    bind_recorder(m);
}
