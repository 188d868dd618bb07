// Python module ovelin.algorithm.utilities: the shared helper functions plus
// two environment queries. Loads without NumPy; only the functions that
// return arrays import it, when called.

#include <filesystem>
#include <string>

#include "parameters.hpp"
#include "shared_helpers.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;

namespace {

std::filesystem::path module_file() {
    nb::object module = nb::module_::import_("ovelin.algorithm.utilities");
    nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(module.attr("__file__").ptr()));
    if (!encoded) throw nb::python_error();
    return std::filesystem::path(PyBytes_AS_STRING(encoded.ptr()));
}

// Looks upward from this module's file for a directory holding `marker`. The
// module file itself is the first candidate; the root is never tested.
nb::str find_project_path(nb::handle marker) {
    require_exact(marker, &PyUnicode_Type, "matker");
    nb::object marker_bytes = nb::steal(PyUnicode_EncodeFSDefault(marker.ptr()));
    if (!marker_bytes) throw nb::python_error();
    const std::string marker_name = PyBytes_AS_STRING(marker_bytes.ptr());

    std::filesystem::path current = std::filesystem::weakly_canonical(std::filesystem::absolute(module_file()));
    while (true) {
        std::error_code ignored;
        if (std::filesystem::exists(current / marker_name, ignored)) {
            const std::string text = current.string();
            nb::object result = nb::steal(PyUnicode_DecodeFSDefaultAndSize(text.data(), (Py_ssize_t)text.size()));
            if (!result) throw nb::python_error();
            return nb::borrow<nb::str>(result);
        }
        current = current.parent_path();
        if (current == current.parent_path())
            throw nb::value_error("Reached the root of the file system without finding the marker.");
    }
}

bool is_vantelink_installed() {
    return !nb::module_::import_("importlib.util").attr("find_spec")("Vantelink").is_none();
}

}  // namespace

NB_MODULE(utilities, m) {
    register_error_translation();
    m.doc() = "Shared helpers and environment queries.";
    def_shared_helpers(m);
    def_function(m, "find_project_path", &find_project_path, Parameters("str", parameter("matker: str", ".git")),
                 "The nearest directory above this module that holds an entry named `matker`.");
    m.def("is_Vantelink_installed", &is_vantelink_installed,
          "Whether the package 'Vantelink' can be found, without importing it.");
}
