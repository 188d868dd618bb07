// LabDataRecorder: appends each new, settled laboratory result as one row to
// the recorder's CSV file (the core writes the file; this side resolves the
// folder and reports errors as Python's).

#include <nanobind/nanobind.h>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "block_slots.hpp"
#include "block_support.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "instance.hpp"
#include "ovelin/lab_data_file.hpp"
#include "ovelin/soft_sensor.hpp"
#include "parameters.hpp"
#include "pickle.hpp"

namespace ovelin::binding::soft_sensor {

namespace {

constexpr const char* kRecorder = "LabDataRecorder";

// Text as the system calls take it (the file system encoding).
std::string file_system_bytes(nb::handle text) {
    const nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(text.ptr()));
    if (!encoded.is_valid()) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

bool is_plain_name(nb::handle name) {
    return ovelin::LabDataFile::is_plain_name(file_system_bytes(name));
}

void require_plain_name(nb::handle name) {
    if (!is_plain_name(name)) {
        PyErr_Format(PyExc_ValueError, "%R %s: name must not contain '/' or a NUL character!", name.ptr(), kRecorder);
        throw nb::python_error();
    }
}

// Where the rows go: the folder as pickled, the file as the pathlib.Path of
// the interface and as the text that errors name, and the core's file.
struct CsvFile {
    nb::object dir;   // str: the absolute folder
    nb::object path;  // pathlib.Path
    nb::object text;  // str
    ovelin::LabDataFile file;
};

// The file of recorder `name` (a plain name) in the absolute folder `dir` (a str).
CsvFile csv_file(nb::object dir, nb::handle name) {
    const std::string folder = file_system_bytes(dir);
    if (folder.find('\0') != std::string::npos) throw nb::value_error("embedded null byte");
    ovelin::LabDataFile file(folder, file_system_bytes(name));
    nb::object text = nb::steal(PyUnicode_DecodeFSDefaultAndSize(file.path().data(), file.path().size()));
    if (!text.is_valid()) throw nb::python_error();
    nb::object path = imported.path(text);
    return CsvFile{std::move(dir), std::move(path), std::move(text), std::move(file)};
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

// lab_time in whole seconds (fraction dropped), with the interpreter's errors
// for times that are no time_t.
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

void export_row(const RecorderBlock& block, double lab_data, double lab_time) {
    const std::optional<std::string> row = ovelin::lab_data_row(std::time(nullptr), whole_seconds(lab_time), lab_data);
    if (!row) {  // a laboratory time without a local date: not the file's fault
        errno = EOVERFLOW;
        PyErr_SetFromErrno(PyExc_OSError);
        throw nb::python_error();
    }
    // Copies: other threads run while the interpreter lock is released.
    const ovelin::LabDataFile file = block.file.file;
    const nb::object filename = block.file.text;
    int error;
    {
        nb::gil_scoped_release unlocked;
        error = file.append(*row);
    }
    if (error == 0) return;
    errno = error;
    if (error == ELOOP) {
        const nb::object args = nb::make_tuple(ELOOP, "Refusing to write through a symbolic link", filename);
        PyErr_SetObject(PyExc_OSError, args.ptr());
    } else {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    }
    throw nb::python_error();
}

constexpr Signature<Float, Float> kRecorderRun{"run", arg<Float>("lab_data"), arg<Float>("lab_time")};

// A settled result is written before the window moves on: if the row cannot
// be written, the window stays as it was and the next call writes it. The
// export goes through the method, which a subclass may replace; the window
// is read again after it.
bool recorder_run(Self<RecorderBlock> self, double lab_data, double lab_time) {
    require_finite(self.block.name, lab_data, " LabDataRecorder: lab_data is not finite!");
    require_finite(self.block.name, lab_time, " LabDataRecorder: lab_time is not finite!");
    const bool settled = self.block.window.settled_after(lab_data, self.block.abs_threshold);
    if (settled) call_method(self.py, "export_lab_data_csv", lab_data, lab_time);
    self.block.window.fill(lab_data);
    self.block.window.push(lab_data);
    return settled;
}

constexpr const char* kRecorderRunDoc =
    "One control cycle: appends a row to the CSV file when a new laboratory value has\n"
    "settled. Returns True when this call wrote a row.";

RecorderBlock recorder_init(nb::handle name, nb::handle abs_threshold, nb::handle const_len, nb::handle csv_dir) {
    require_exact(name, &PyUnicode_Type, "name");
    const double threshold = as_double(abs_threshold);
    const std::size_t window = history_length(const_len, "const_len", ovelin::max_const_len(), name, kRecorder);
    require_plain_name(name);
    ovelin::LabWindow lab(window);
    const nb::object dir = imported.path(csv_dir).attr("resolve")();
    dir.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    CsvFile file = csv_file(checked_result(imported.fspath(dir), &PyUnicode_Type, "os.fspath"), name);
    return RecorderBlock(std::move(lab), threshold, nb::borrow(name), std::move(file));
}

constexpr std::size_t kRecorderStateFields = 5;

nb::tuple recorder_get_state(Self<RecorderBlock> self) {
    const RecorderBlock& block = self.block;
    return pickled_state(self.py, block.name, block.abs_threshold, block.window.values().capacity() - 2,
                         to_tuple(block.window.values()), block.file.dir);
}

nb::object exact_str_field(const StateReader& state, std::size_t i, const char* field) {
    const nb::handle item = state.object(i);
    if (!PyUnicode_CheckExact(item.ptr()))
        state.fail(PyExc_TypeError, "field '%s' must be a str, not '%s'", field, Py_TYPE(item.ptr())->tp_name);
    return nb::borrow(item);
}

RecorderBlock recorder_build(const StateReader& state) {
    nb::object name = exact_str_field(state, 0, "name");
    if (!is_plain_name(name)) state.fail(PyExc_ValueError, "field 'name' must not contain '/' or a NUL character");
    const double threshold = state.number(1, "abs_threshold");
    const std::size_t const_len = length_field(state, 2, "const_len", ovelin::max_const_len());
    const std::vector<double> values = state.numbers(3, "lab_data_list");
    nb::object dir = exact_str_field(state, 4, "csv_dir");
    if (!PyUnicode_GET_LENGTH(dir.ptr()) || PyUnicode_READ_CHAR(dir.ptr(), 0) != '/')
        state.fail(PyExc_ValueError, "field 'csv_dir' must be an absolute path");
    ovelin::LabWindow window = state.validated("const_len", [&] { return ovelin::LabWindow(const_len); });
    state.validated("lab_data_list", [&] { window.assign(values); });
    CsvFile file = csv_file(std::move(dir), name);  // before `name` is moved into the block
    return RecorderBlock(std::move(window), threshold, std::move(name), std::move(file));
}

}  // namespace

void bind_recorder(nb::module_& m) {
    auto cls = bind_class<RecorderBlock>(
        m, "LabDataRecorder", nb::dynamic_attr(),
        BlockSlots<RecorderBlock>().method<kRecorderRun, recorder_run>(kRecorderRunDoc),
        "Appends each new, settled laboratory result as one row to <csv_dir>/<name>_Raw_LabData.csv.\n\n"
        "Call run() once per control cycle.");
    def_init(cls, &recorder_init,
             Parameters("None", parameter("name: str", "softSensor"), parameter("abs_threshold: float", 1e-6),
                        parameter("const_len: int", 60), parameter("csv_dir: str", "./")),
             "A recorder writing new laboratory values to <csv_dir>/<name>.csv; a value repeated for const_len calls "
             "or changing by less than abs_threshold is not new.");
    def_method(
        cls, "export_lab_data_csv",
        [](const RecorderBlock& b, nb::handle lab_data, nb::handle lab_time) {
            const double data = as_double(lab_data), time = as_double(lab_time);
            export_row(b, data, time);
        },
        Parameters("None", parameter("lab_data: float"), parameter("lab_time: float")),
        "Appends one row (export time, laboratory time, value) to the CSV file; the header goes\n"
        "only into a file this call creates.");

    def_property(cls, "_name", "str", [](const RecorderBlock& b) { return b.name; });
    def_property(cls, "_lab_data_list", "collections.deque",
                 [](const RecorderBlock& b) { return deque_of(b.window.values()); });
    def_property(
        cls, "_abs_threshold", [](const RecorderBlock& b) { return b.abs_threshold; },
        [](RecorderBlock& b, nb::handle value) { b.abs_threshold = as_double(value); });
    def_property(cls, "_csv_file", "pathlib.Path", [](const RecorderBlock& b) { return b.file.path; });

    def_pickle<RecorderBlock>(cls, "LabDataRecorder", kRecorderStateFields, recorder_get_state, recorder_build);
}

}  // namespace ovelin::binding::soft_sensor
