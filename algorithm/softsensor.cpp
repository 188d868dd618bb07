// Python module ovelin.algorithm.softsensor: bias correction of a predicted
// quality value against delayed laboratory results (SoftSensorBiasUpdate),
// and the recorder that appends settled laboratory results to a CSV file
// (LabDataRecorder).

#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "append_row.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "filters_capi.hpp"
#include "gc.hpp"
#include "instance.hpp"
#include "ovelin/soft_sensor.hpp"
#include "pickle.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;

namespace {

// Objects of other modules, imported once when this module loads and kept
// for the life of the process (never released, so nothing is freed after the
// interpreter has gone).
struct Imported {
    nb::handle sfilter;          // ovelin.algorithm.filters.sFilter
    const FiltersCApi* filters;  // its per-sample step
    nb::handle deque;            // collections.deque
    nb::handle path;             // pathlib.Path
    nb::handle fspath;           // os.fspath
};
Imported imported;

nb::handle import_attr(const char* module, const char* name) {
    nb::object value = nb::module_::import_(module).attr(name);
    return value.release();
}

// --- Shared by both blocks ---------------------------------------------------------

// Argument kind: exactly a float, or None.
struct ExactFloatOrNone {
    using value_type = std::optional<double>;
    static bool convert(PyObject* obj, std::optional<double>& out, const char* name) noexcept {
        if (obj == Py_None) {
            out.reset();
            return true;
        }
        if (!PyFloat_CheckExact(obj)) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                         PyFloat_Type.tp_name, Py_TYPE(obj)->tp_name);
            return false;
        }
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
};

// "<name><text>" as ValueError.
[[noreturn]] void raise_named(nb::handle name, const char* text) {
    PyErr_Format(PyExc_ValueError, "%U%s", name.ptr(), text);
    throw nb::python_error();
}

void require_finite(nb::handle name, double value, const char* text) {
    if (!std::isfinite(value)) raise_named(name, text);
}

// One informational line "<name><text>" on sys.stdout; the stream is held
// across the write, which may replace it.
void print_named(nb::handle name, const char* text) {
    PyObject* borrowed = PySys_GetObject("stdout");
    if (borrowed == nullptr || borrowed == Py_None) return;
    const nb::object out = nb::borrow(borrowed);
    const nb::object line = nb::steal(PyUnicode_FromFormat("%U%s\n", name.ptr(), text));
    if (!line.is_valid() || PyFile_WriteObject(line.ptr(), out.ptr(), Py_PRINT_RAW) != 0) throw nb::python_error();
}

// A history length argument: exactly an int, not negative.
std::size_t history_length(nb::handle value, const char* arg, nb::handle name, const char* block) {
    require_exact(value, &PyLong_Type, arg);
    const Py_ssize_t length = PyLong_AsSsize_t(value.ptr());
    if (length == -1 && PyErr_Occurred()) throw nb::python_error();
    if (length < 0) {
        PyErr_Format(PyExc_ValueError, "%U %s: %s must not be negative!", name.ptr(), block, arg);
        throw nb::python_error();
    }
    return static_cast<std::size_t>(length);
}

// A history as collections.deque(values, maxlen=capacity): a snapshot.
nb::object deque_of(const ovelin::RingBuffer& values) {
    const nb::object items = nb::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!items.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* value = PyFloat_FromDouble(values[i]);
        if (value == nullptr) throw nb::python_error();
        PyList_SET_ITEM(items.ptr(), static_cast<Py_ssize_t>(i), value);
    }
    return imported.deque(items, nb::arg("maxlen") = values.capacity());
}

nb::tuple tuple_of(const ovelin::RingBuffer& values) {
    const nb::object tuple = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* value = PyFloat_FromDouble(values[i]);
        if (value == nullptr) throw nb::python_error();
        PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), value);
    }
    return nb::borrow<nb::tuple>(tuple);
}

// Calls `method` of the object (a subclass or the instance may replace it,
// as for any Python class) with two floats; the result is not used.
void call_method(nb::handle self, const char* method, double a, double b) {
    const nb::object result = nb::steal(PyObject_CallMethod(self.ptr(), method, "dd", a, b));
    if (!result.is_valid()) throw nb::python_error();
}

// Fields of pickled states that the reader has no kind for.
nb::object exact_str_field(const StateReader& state, std::size_t i, const char* field) {
    const nb::handle item = state.object(i);
    if (!PyUnicode_CheckExact(item.ptr()))
        state.fail(PyExc_TypeError, "field '%s' must be a str, not '%s'", field, Py_TYPE(item.ptr())->tp_name);
    return nb::borrow(item);
}

std::size_t length_field(const StateReader& state, std::size_t i, const char* field) {
    const nb::handle item = state.object(i);
    if (!PyLong_CheckExact(item.ptr()))
        state.fail(PyExc_TypeError, "field '%s' must be an int, not '%s'", field, Py_TYPE(item.ptr())->tp_name);
    const Py_ssize_t length = PyLong_AsSsize_t(item.ptr());
    if (length < 0) {
        PyErr_Clear();
        state.fail(PyExc_ValueError, "field '%s' must be a non-negative int that fits in memory", field);
    }
    return static_cast<std::size_t>(length);
}

// --- SoftSensorBiasUpdate ----------------------------------------------------------

struct BiasBlock {
    BiasBlock(ovelin::BiasUpdate core_, nb::object name_, nb::object filter_) noexcept
        : core(std::move(core_)), name(std::move(name_)), filter(std::move(filter_)) {}
    BiasBlock(BiasBlock&&) noexcept = default;

    // The filter is an sFilter by construction, but the collector may have
    // cleared it while breaking a cycle.
    void require_filter_ready() const {
        if (filter.is_valid() && !nb::inst_ready(filter))
            throw nb::type_error("the bias filter of this SoftSensorBiasUpdate is not initialized");
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(name);
        visit(filter);
    }

    ovelin::BiasUpdate core;
    nb::object name;    // str
    nb::object filter;  // the owned sFilter, or none (not valid)
};

constexpr const char* kBias = "Bias Update";

// An update attempt with its message; the history is empty only when called
// directly before the first run.
void update_bias(BiasBlock& block, double lab_data, double lab_time) {
    ovelin::BiasAttempt attempt;
    try {
        attempt = block.core.update_bias(lab_data, lab_time);
    } catch (const ovelin::Error& e) {
        if (e.code() == ovelin::Errc::no_first_sample) throw nb::index_error("deque index out of range");
        throw;
    }
    if (attempt == ovelin::BiasAttempt::unchanged)
        print_named(block.name, ": Bias Update is not triggered, lab_data or lab_time is unchanged.");
}

// Seconds since the epoch, as the interpreter's time.time() gives them.
double wall_clock_seconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t ns = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    return static_cast<double>(ns) / 1e9;
}

nb::object output(const BiasBlock& block) {
    const double bias = block.core.bias();
    if (!block.filter.is_valid()) return nb::steal(PyFloat_FromDouble(bias));
    double filtered;  // the filter called with the bias (its y_ini is set: the 0.0 given is not used)
    if (imported.filters->sfilter_step(block.filter.ptr(), bias, 0.0, &filtered) != 0) throw nb::python_error();
    return nb::steal(PyFloat_FromDouble(filtered));
}

constexpr Signature<Float, Float, Float, ExactFloatOrNone, ExactFloatOrNone> kBiasRun{
    "run",
    arg<Float>("prd_data"),
    arg<Float>("lab_data"),
    arg<Float>("lab_time"),
    arg<ExactFloatOrNone>("prd_time", std::nullopt),
    arg<ExactFloatOrNone>("update_trigger", std::nullopt)};

nb::object bias_run(Self<BiasBlock> self, double prd_data, double lab_data, double lab_time,
                    std::optional<double> prd_time, std::optional<double> trigger) {
    BiasBlock& block = self.block;
    require_finite(block.name, prd_data, " Bias Update: prd_data is not finite!");
    require_finite(block.name, lab_data, " Bias Update: lab_data is not finite!");
    require_finite(block.name, lab_time, " Bias Update: lab_time is not finite!");
    if (prd_time) require_finite(block.name, *prd_time, " Bias Update: prd_time is not finite!");
    if (trigger) require_finite(block.name, *trigger, " Bias Update: update_trigger is not finite!");
    block.require_filter_ready();

    const ovelin::BiasDecision decision =
        block.core.record(prd_data, lab_data, prd_time ? *prd_time : wall_clock_seconds(), trigger);
    if (decision.attempt) call_method(self.py, "_update_bias", lab_data, lab_time);
    if (decision.initial) print_named(block.name, ": Bias Update is triggered by the first data.");
    return output(block);
}

PyMethodDef kBiasMethods[] = {
    fast_method<BiasBlock, kBiasRun, bias_run>(
        "run",
        "One control cycle: records the prediction (at prd_time, else now) and the laboratory\n"
        "value, updates the bias on the first call, on a trigger > 0.5 or, without a trigger,\n"
        "once a new laboratory value has settled. Returns the filtered bias."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kBiasSlots[] = {
    {Py_tp_methods, kBiasMethods},
    traverse_slot<BiasBlock>(),
    clear_slot<BiasBlock>(),
    {0, nullptr},
};

void bias_init(BiasBlock* self, nb::handle name, nb::handle filter_tao, nb::handle abs_threshold, nb::handle prd_len,
               nb::handle const_len) {
    require_exact(name, &PyUnicode_Type, "name");
    const double tao = as_double(filter_tao);
    const double threshold = as_double(abs_threshold);
    const std::size_t prd = history_length(prd_len, "prd_len", name, kBias);
    const std::size_t window = history_length(const_len, "const_len", name, kBias);
    ovelin::BiasUpdate core(prd, window, threshold);
    nb::object filter;
    if (tao > 0) {  // a first-order lag 1/(tao*s + 1) at rest at 0.0
        nb::list num, den;
        num.append(1);
        den.append(tao);
        den.append(1);
        filter = imported.sfilter(num, den, nb::arg("u_ini") = 0.0, nb::arg("y_ini") = 0.0);
        if (Py_TYPE(filter.ptr()) != reinterpret_cast<PyTypeObject*>(imported.sfilter.ptr()))
            throw nb::type_error("sFilter() did not return an sFilter");
    }
    new (self) BiasBlock(std::move(core), nb::borrow(name), std::move(filter));
}

constexpr std::size_t kBiasStateFields = 13;

nb::tuple bias_get_state(Self<BiasBlock> self) {
    const BiasBlock& block = self.block;
    const ovelin::BiasUpdate& core = block.core;
    block.require_filter_ready();
    // The filter travels as its state, so that every copy owns its own. Its
    // methods are taken from the type: the instance may hold other attributes.
    nb::object filter_state = nb::none();
    if (block.filter.is_valid())
        filter_state = checked_result(imported.sfilter.attr("__getstate__")(block.filter), &PyTuple_Type,
                                      "sFilter.__getstate__");
    return pickled_state(self.py, block.name, core.prd_data_history().capacity() - 1,
                         core.lab_window().values().capacity() - 2, tuple_of(core.prd_data_history()),
                         tuple_of(core.prd_time_history()), tuple_of(core.lab_window().values()), core.bias(),
                         core.abs_threshold(), core.update_flag(), core.lab_data(), core.lab_time(),
                         core.prd_data_at_labtime(), filter_state);
}

nb::object restored_filter(const StateReader& state, std::size_t i) {
    const nb::handle filter_state = state.object(i);
    if (filter_state.is_none()) return {};
    const nb::object filter = imported.sfilter.attr("__new__")(imported.sfilter);
    imported.sfilter.attr("__setstate__")(filter, filter_state);
    if (Py_TYPE(filter.ptr()) != reinterpret_cast<PyTypeObject*>(imported.sfilter.ptr()) || !nb::inst_ready(filter))
        state.fail(PyExc_TypeError, "field 'filter' did not restore an sFilter");
    return filter;
}

BiasBlock bias_build(const StateReader& state) {
    nb::object name = exact_str_field(state, 0, "name");
    const std::size_t prd_len = length_field(state, 1, "prd_len");
    const std::size_t const_len = length_field(state, 2, "const_len");
    const std::vector<double> prd_data = state.numbers(3, "prd_data_list");
    const std::vector<double> prd_time = state.numbers(4, "prd_time_list");
    const std::vector<double> lab = state.numbers(5, "lab_data_list");
    const double bias = state.number(6, "bias");
    const double threshold = state.number(7, "abs_threshold");
    const bool flag = state.flag(8, "update_flag");
    const double lab_data = state.number(9, "current_lab_data");
    const double lab_time = state.number(10, "current_lab_time");
    const double prd_at_lab_time = state.number(11, "prd_data_at_labtime");
    ovelin::BiasUpdate core =
        state.validated("prd_len, const_len", [&] { return ovelin::BiasUpdate(prd_len, const_len, threshold); });
    state.validated("histories", [&] { core.restore_histories(prd_data, prd_time, lab); });
    core.set_bias(bias);
    core.restore_result(flag, lab_data, lab_time, prd_at_lab_time);
    return BiasBlock(std::move(core), std::move(name), restored_filter(state, 12));
}

void bind_bias_update(nb::module_& m) {
    auto cls = bind_class<BiasBlock>(
        m, "SoftSensorBiasUpdate", nb::dynamic_attr(), nb::type_slots(kBiasSlots),
        "Bias of a soft sensor against delayed laboratory results: the laboratory value minus the\n"
        "prediction that was valid at the laboratory sample time, smoothed by a first-order filter.\n\n"
        "Call run() once per control cycle.");
    cls.def("__init__", &bias_init, nb::sig("def __init__(self, name: str = \"softSensor\", filter_tao: float = 5.0, abs_threshold: float = 1e-06, prd_len: int = 28800, const_len: int = 60) -> None"), 
        "A bias corrector: predictions kept for prd_len samples, laboratory values for const_len samples, the bias filtered with time constant filter_tao (0: unfiltered), updates smaller than abs_threshold ignored.", nb::arg("name").none() = "softSensor", nb::arg("filter_tao").none() = 5.0,
            nb::arg("abs_threshold").none() = 1e-6, nb::arg("prd_len").none() = 28800,
            nb::arg("const_len").none() = 60);

    def_method(cls, "get_name", "The sensor's name.", [](const BiasBlock& b) { return b.name; });
    def_method(cls, "get_lab_data", "The laboratory value of the latest bias update.", [](const BiasBlock& b) { return b.core.lab_data(); });
    def_method(cls, "get_lab_time", "The sample time of the latest bias update's laboratory value.", [](const BiasBlock& b) { return b.core.lab_time(); });
    def_method(cls, "get_prd_data_at_labtime", "The prediction recorded nearest the latest laboratory sample time.", [](const BiasBlock& b) { return b.core.prd_data_at_labtime(); });
    def_method(cls, "get_update_flag", "Whether the latest call updated the bias.", [](const BiasBlock& b) { return b.core.update_flag(); });
    def_method(cls, "get_bias", [](const BiasBlock& b) { return b.core.bias(); }, "The unfiltered bias.");
    def_method(
        cls, "_update_bias",
        [](BiasBlock& b, nb::handle lab_data, nb::handle lab_time) {
            const double data = as_double(lab_data), time = as_double(lab_time);
            update_bias(b, data, time);
        },
        nb::sig("def _update_bias(self, lab_data: float, lab_time: float) -> None"),
        nb::arg("lab_data").none(), nb::arg("lab_time").none(),
        "One bias update attempt with this laboratory value and sample time.");

    def_property(cls, "_name", "str", [](const BiasBlock& b) { return b.name; });
    def_property(cls, "_prd_data_list", "collections.deque", [](const BiasBlock& b) { return deque_of(b.core.prd_data_history()); });
    def_property(cls, "_prd_time_list", "collections.deque", [](const BiasBlock& b) { return deque_of(b.core.prd_time_history()); });
    def_property(cls, "_lab_data_list", "collections.deque", [](const BiasBlock& b) { return deque_of(b.core.lab_window().values()); });
    def_property(
        cls, "_bias", [](const BiasBlock& b) { return b.core.bias(); },
        [](BiasBlock& b, nb::handle value) { b.core.set_bias(as_double(value)); });
    def_property(cls, "_fil", "ovelin.algorithm.filters.sFilter | None", [](const BiasBlock& b) { return b.filter.is_valid() ? b.filter : nb::none(); });
    def_property(
        cls, "_abs_threshold", [](const BiasBlock& b) { return b.core.abs_threshold(); },
        [](BiasBlock& b, nb::handle value) { b.core.set_abs_threshold(as_double(value)); });
    def_property(cls, "_update_flag", [](const BiasBlock& b) { return b.core.update_flag(); });
    def_property(cls, "_current_lab_data", [](const BiasBlock& b) { return b.core.lab_data(); });
    def_property(cls, "_current_lab_time", [](const BiasBlock& b) { return b.core.lab_time(); });
    def_property(cls, "_prd_data_at_labtime", [](const BiasBlock& b) { return b.core.prd_data_at_labtime(); });

    def_pickle<BiasBlock>(cls, "SoftSensorBiasUpdate", kBiasStateFields, bias_get_state, bias_build);
}

// --- LabDataRecorder ---------------------------------------------------------------

constexpr const char* kRecorder = "LabDataRecorder";
constexpr const char* kFileSuffix = "_Raw_LabData.csv";
constexpr const char* kHeader = "ExportTime,LabTime,LabData\n";

// Where the rows go: the file as the pathlib.Path of the interface, as the
// text that errors name, and as the bytes the system calls take.
struct CsvFile {
    nb::object dir;   // str: absolute directory
    nb::object path;  // pathlib.Path
    nb::object text;  // str
    std::string bytes;
};

// The file of recorder `name` in directory `dir` (a pathlib.Path).
CsvFile csv_file(nb::handle dir, nb::handle name) {
    const nb::object file_name = nb::steal(PyUnicode_FromFormat("%U%s", name.ptr(), kFileSuffix));
    if (!file_name.is_valid()) throw nb::python_error();
    CsvFile file;
    file.dir = checked_result(imported.fspath(dir), &PyUnicode_Type, "os.fspath");
    file.path = nb::steal(PyNumber_TrueDivide(dir.ptr(), file_name.ptr()));
    if (!file.path.is_valid()) throw nb::python_error();
    file.text = checked_result(imported.fspath(file.path), &PyUnicode_Type, "os.fspath");
    const nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(file.text.ptr()));
    if (!encoded.is_valid()) throw nb::python_error();
    file.bytes.assign(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    if (file.bytes.find('\0') != std::string::npos) throw nb::value_error("embedded null byte");
    return file;
}

// The file name part must keep the file inside its directory.
bool is_plain_name(nb::handle name) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
    return PyUnicode_FindChar(name.ptr(), '/', 0, length, 1) == -1 &&
           PyUnicode_FindChar(name.ptr(), '\0', 0, length, 1) == -1;
}

void require_plain_name(nb::handle name) {
    if (!is_plain_name(name)) {
        PyErr_Format(PyExc_ValueError, "%R %s: name must not contain '/' or a NUL character!", name.ptr(), kRecorder);
        throw nb::python_error();
    }
}

struct RecorderBlock {
    RecorderBlock(ovelin::LabWindow window_, double threshold_, nb::object name_, CsvFile file_) noexcept
        : window(std::move(window_)), abs_threshold(threshold_), name(std::move(name_)), file(std::move(file_)) {}
    RecorderBlock(RecorderBlock&&) noexcept = default;

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(name);
        visit(file.dir);
        visit(file.path);
        visit(file.text);
    }

    ovelin::LabWindow window;
    double abs_threshold;
    nb::object name;  // str
    CsvFile file;
};

// Local time "%Y-%m-%d %H:%M:%S", with the interpreter's errors for times the
// platform cannot convert.
std::string local_time_text(std::time_t seconds) {
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw nb::python_error();
    }
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, length);
}

std::time_t whole_seconds(double seconds) {
    if (std::isnan(seconds)) throw ovelin::Error(ovelin::Errc::nan_to_integer, "NaN laboratory time");
    if (std::isinf(seconds)) throw ovelin::Error(ovelin::Errc::infinity_to_integer, "infinite laboratory time");
    const double floored = std::floor(seconds);
    if (!(floored >= -0x1p63 && floored < 0x1p63)) {
        PyErr_SetString(PyExc_OverflowError, "timestamp out of range for platform time_t");
        throw nb::python_error();
    }
    return static_cast<std::time_t>(floored);
}

// The value as Python writes it: the shortest text that reads back to the
// same double, whole values with ".0", nan, inf and -inf.
std::string number_text(double value) {
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) throw nb::python_error();
    std::string result(text);
    PyMem_Free(text);
    return result;
}

void export_row(const RecorderBlock& block, double lab_data, double lab_time) {
    std::string row = local_time_text(std::time(nullptr));
    row += ',';
    row += local_time_text(whole_seconds(lab_time));
    row += ',';
    row += number_text(lab_data);
    row += '\n';
    const std::string path = block.file.bytes;
    int error;
    {
        nb::gil_scoped_release unlocked;  // only local C++ values below
        error = append_row(path, kHeader, row);
    }
    if (error != 0) {
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, block.file.text.ptr());
        throw nb::python_error();
    }
}

constexpr Signature<Float, Float> kRecorderRun{"run", arg<Float>("lab_data"), arg<Float>("lab_time")};

// A settled result is written before the window moves on: if the row cannot
// be written, the window stays as it was and the next call writes it.
bool recorder_run(Self<RecorderBlock> self, double lab_data, double lab_time) {
    RecorderBlock& block = self.block;
    require_finite(block.name, lab_data, " LabDataRecorder: lab_data is not finite!");
    require_finite(block.name, lab_time, " LabDataRecorder: lab_time is not finite!");
    const bool settled = block.window.settled_after(lab_data, block.abs_threshold);
    if (settled) call_method(self.py, "export_lab_data_csv", lab_data, lab_time);
    block.window.fill(lab_data);
    block.window.push(lab_data);
    return settled;
}

PyMethodDef kRecorderMethods[] = {
    fast_method<RecorderBlock, kRecorderRun, recorder_run>(
        "run",
        "One control cycle: appends a row to the CSV file when a new laboratory value has\n"
        "settled. Returns True when this call wrote a row."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kRecorderSlots[] = {
    {Py_tp_methods, kRecorderMethods},
    traverse_slot<RecorderBlock>(),
    clear_slot<RecorderBlock>(),
    {0, nullptr},
};

void recorder_init(RecorderBlock* self, nb::handle name, nb::handle abs_threshold, nb::handle const_len,
                   nb::handle csv_dir) {
    require_exact(name, &PyUnicode_Type, "name");
    const double threshold = as_double(abs_threshold);
    const std::size_t window = history_length(const_len, "const_len", name, kRecorder);
    require_plain_name(name);
    ovelin::LabWindow lab(window);
    const nb::object dir = imported.path(csv_dir).attr("resolve")();
    dir.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    new (self) RecorderBlock(std::move(lab), threshold, nb::borrow(name), csv_file(dir, name));
}

constexpr std::size_t kRecorderStateFields = 5;

nb::tuple recorder_get_state(Self<RecorderBlock> self) {
    const RecorderBlock& block = self.block;
    return pickled_state(self.py, block.name, block.abs_threshold, block.window.values().capacity() - 2,
                         tuple_of(block.window.values()), block.file.dir);
}

RecorderBlock recorder_build(const StateReader& state) {
    nb::object name = exact_str_field(state, 0, "name");
    if (!is_plain_name(name)) state.fail(PyExc_ValueError, "field 'name' must not contain '/' or a NUL character");
    const double threshold = state.number(1, "abs_threshold");
    const std::size_t const_len = length_field(state, 2, "const_len");
    const std::vector<double> values = state.numbers(3, "lab_data_list");
    const nb::object dir = exact_str_field(state, 4, "csv_dir");
    if (!PyUnicode_GET_LENGTH(dir.ptr()) || PyUnicode_READ_CHAR(dir.ptr(), 0) != '/')
        state.fail(PyExc_ValueError, "field 'csv_dir' must be an absolute path");
    ovelin::LabWindow window = state.validated("const_len", [&] { return ovelin::LabWindow(const_len); });
    state.validated("lab_data_list", [&] { window.assign(values); });
    return RecorderBlock(std::move(window), threshold, std::move(name), csv_file(imported.path(dir), name));
}

void bind_recorder(nb::module_& m) {
    auto cls = bind_class<RecorderBlock>(
        m, "LabDataRecorder", nb::dynamic_attr(), nb::type_slots(kRecorderSlots),
        "Appends each new, settled laboratory result as one row to <csv_dir>/<name>_Raw_LabData.csv.\n\n"
        "Call run() once per control cycle.");
    cls.def("__init__", &recorder_init, nb::sig("def __init__(self, name: str = \"softSensor\", abs_threshold: float = 1e-06, const_len: int = 60, csv_dir: str = \"./\") -> None"), 
        "A recorder writing new laboratory values to <csv_dir>/<name>.csv; a value repeated for const_len calls or changing by less than abs_threshold is not new.", nb::arg("name").none() = "softSensor",
            nb::arg("abs_threshold").none() = 1e-6, nb::arg("const_len").none() = 60,
            nb::arg("csv_dir").none() = "./");
    def_method(
        cls, "export_lab_data_csv",
        [](const RecorderBlock& b, nb::handle lab_data, nb::handle lab_time) {
            const double data = as_double(lab_data), time = as_double(lab_time);
            export_row(b, data, time);
        },
        nb::sig("def export_lab_data_csv(self, lab_data: float, lab_time: float) -> None"),
        nb::arg("lab_data").none(), nb::arg("lab_time").none(),
        "Appends one row (export time, laboratory time, value) to the CSV file; the header goes\n"
        "only into a file this call creates.");

    def_property(cls, "_name", "str", [](const RecorderBlock& b) { return b.name; });
    def_property(cls, "_lab_data_list", "collections.deque", [](const RecorderBlock& b) { return deque_of(b.window.values()); });
    def_property(
        cls, "_abs_threshold", [](const RecorderBlock& b) { return b.abs_threshold; },
        [](RecorderBlock& b, nb::handle value) { b.abs_threshold = as_double(value); });
    def_property(cls, "_csv_file", "pathlib.Path", [](const RecorderBlock& b) { return b.file.path; });

    def_pickle<RecorderBlock>(cls, "LabDataRecorder", kRecorderStateFields, recorder_get_state, recorder_build);
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
