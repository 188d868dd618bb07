// Python module ovelin.algorithm.filters: discrete (zFilter) and continuous
// (sFilter) transfer-function filters working in deviation form around an
// operating point.

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "block_slots.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "filters_capi.hpp"
#include "instance.hpp"
#include "kept_value.hpp"
#include "ovelin/c2d.hpp"
#include "ovelin/linear_filter.hpp"
#include "ovelin/numeric.hpp"
#include "parameters.hpp"
#include "pickle.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;

namespace {

// Operating points are open (None) until known. Known values keep the
// caller's object when one was given; a value taken from a call is a plain
// double, turned into a float only when read (no allocation per sample).
struct ZFilterBlock : ReleasesLockInBatches {
    ZFilterBlock(std::span<const double> b, std::span<const double> a)
        : core(b, a), bz(to_numpy(core.b())), az(to_numpy(core.a())) {}
    ZFilterBlock(ZFilterBlock&&) noexcept = default;

    double step(double ut, double y_ini) noexcept {
        u.take(ut);
        y.take(y_ini);
        return core.step(ut - u.value()) + y.value();
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(bz);
        visit(az);
        u.visit_references(visit);
        y.visit_references(visit);
    }

    ovelin::LinearFilter core;
    nb::object bz, az;  // the attributes _Bz and _Az; never read back
    KeptFloat u, y;
};

struct SFilterBlock {
    SFilterBlock(nb::object bs_, nb::object as_, KeptFloat ts_, nb::object zfilter_) noexcept
        : bs(std::move(bs_)), as(std::move(as_)), ts(std::move(ts_)), zfilter(std::move(zfilter_)) {}
    SFilterBlock(SFilterBlock&&) noexcept = default;

    // The inner filter that does the work. It is a zFilter by construction,
    // but the collector may have cleared it while breaking a cycle.
    ZFilterBlock& inner() const { return held_block<ZFilterBlock>(zfilter, "the inner filter of this sFilter"); }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(bs);
        visit(as);
        ts.visit_references(visit);
        visit(zfilter);
    }

    nb::object bs, as;  // the attributes _Bs and _As; never read back
    KeptFloat ts;
    nb::object zfilter;  // the inner zFilter instance, owned
};

// --- Batch -------------------------------------------------------------------

// Above this many samples the filtering runs with the interpreter lock
// released; the input and output arrays and the filter object are held by
// this call meanwhile, and the filter refuses other threads.
constexpr std::size_t kReleaseLockFrom = 1u << 14;

// `filter` is a zFilter object, resolved to its block only once the inputs
// are converted: their conversion runs Python code.
nb::object run_multistep(nb::handle filter, nb::handle u_arr, nb::handle y_ini) {
    const nb::object held = nb::borrow(filter);
    const Float64View u = as_float64_array(u_arr);
    const double y_arg = as_double(y_ini);
    ZFilterBlock& f = held_block<ZFilterBlock>(held, "the filter");
    const std::size_t n = u.shape(0);
    if (n == 0 && !f.u.known()) throw ovelin::Error(ovelin::Errc::no_first_sample, "no input samples");
    auto [out, view] = new_numpy_array(n);
    if (n > 0) f.u.take(u.data()[0]);
    f.y.take(y_arg);

    // In cache-sized blocks: deviation in, filter in place, operating point out.
    const auto filter_all = [&f, &u, &view, n] {
        constexpr std::size_t block = 2048;
        const double u0 = f.u.value(), y0 = f.y.value();
        const double* x = u.data();
        double* y = view.data();
        for (std::size_t start = 0; start < n; start += block) {
            const std::size_t count = std::min(block, n - start);
            double* chunk = y + start;
            for (std::size_t i = 0; i < count; ++i) chunk[i] = x[start + i] - u0;
            f.core.run(std::span<const double>(chunk, count), std::span<double>(chunk, count));
            for (std::size_t i = 0; i < count; ++i) chunk[i] += y0;
        }
    };
    if (n >= kReleaseLockFrom) {
        const ReleasedBatch released(f);
        filter_all();
    } else {
        filter_all();
    }
    return out;
}

// --- Per-sample calls ----------------------------------------------------------

constexpr Signature<Float, Float> kCall{"__call__", arg<Float>("Ut"), arg<Float>("y_ini", 0.0)};
constexpr Signature<Float, Float> kRun{"run", arg<Float>("Ut"), arg<Float>("y_ini", 0.0)};

double z_step(ZFilterBlock& f, double ut, double y_ini) {
    return f.step(ut, y_ini);
}
double s_step(SFilterBlock& s, double ut, double y_ini) {
    return s.inner().step(ut, y_ini);
}

constexpr const char* kCallDoc =
    "One sample: the filter's output for input Ut. y_ini is the output operating point taken\n"
    "while none is set.";
constexpr const char* kRunDoc =
    "One sample, the same as calling the filter: returns the output for input Ut.\n"
    "y_ini is the output operating point used while none is set.";

// The same step for other modules of the package, through FiltersCApi.
int sfilter_step(PyObject* filter, double ut, double y_ini, double* out) noexcept {
    SFilterBlock* block = checked_self_or_null<SFilterBlock>(filter, "run");
    if (block == nullptr) return -1;
    try {
        *out = s_step(*block, ut, y_ini);
        return 0;
    } catch (...) {
        set_python_error_from_current_exception();
        return -1;
    }
}

const FiltersCApi kCApi{&sfilter_step};

// --- Pickling ------------------------------------------------------------------

constexpr std::size_t kZStateFields = 7;
constexpr std::size_t kSStateFields = 4;

nb::tuple z_get_state(Self<ZFilterBlock> self) {
    const ZFilterBlock& f = self.block;
    return pickled_state(self.py, to_tuple(f.core.b()), to_tuple(f.core.a()), to_tuple(f.core.state()), f.u.to_state(),
                         f.y.to_state(), f.bz, f.az);
}

ZFilterBlock z_build(const StateReader& state) {
    const std::vector<double> b = state.numbers(0, "Bz"), a = state.numbers(1, "Az"), z = state.numbers(2, "zi");
    ZFilterBlock f = state.validated("Bz, Az", [&] { return ZFilterBlock(b, a); });
    state.validated("zi", [&] { f.core.set_state(z); });
    f.u = state.kept(3, "u_ini");
    f.y = state.kept(4, "y_ini");
    f.bz = nb::borrow(state.object(5));
    f.az = nb::borrow(state.object(6));
    return f;
}

nb::tuple s_get_state(Self<SFilterBlock> self) {
    const SFilterBlock& s = self.block;
    // The inner filter travels as its state, so that every copy owns its own.
    // (An inner filter cleared by the collector cannot travel: inner() refuses it.)
    return pickled_state(self.py, s.bs, s.as, s.ts.to_state(), z_get_state(Self<ZFilterBlock>{s.zfilter, s.inner()}));
}

SFilterBlock s_build(const StateReader& state) {
    KeptFloat ts = state.known(2, "Ts");
    state.validated("Ts", [&] { ovelin::require_sample_time(ts.value()); });
    nb::object zfilter = restored_instance<ZFilterBlock>(state.object(3), "zFilter", kZStateFields, z_build);
    return SFilterBlock(nb::borrow(state.object(0)), nb::borrow(state.object(1)), std::move(ts), zfilter);
}

// --- Construction --------------------------------------------------------------

ZFilterBlock z_init(nb::handle Bz, nb::handle Az, nb::handle u_ini, nb::handle y_ini) {
    const std::vector<double> b = as_float64_vector(Bz);
    const std::vector<double> a = as_float64_vector(Az);
    ZFilterBlock block(b, a);
    block.u.set(u_ini);
    block.y.set(y_ini);
    return block;
}

KeptFloat sample_time(nb::handle ts) {
    KeptFloat kept = KeptFloat::given(ts);
    if (!kept.known()) throw nb::type_error("must be real number, not NoneType");
    ovelin::require_sample_time(kept.value());
    return kept;
}

SFilterBlock s_init(nb::handle Bs, nb::handle As, nb::handle Ts, nb::handle u_ini, nb::handle y_ini) {
    const std::vector<double> num = as_float64_vector(Bs);
    const std::vector<double> den = as_float64_vector(As);
    KeptFloat ts = sample_time(Ts);
    const ovelin::TransferFunction tf = ovelin::zoh(num, den, ts.value());
    nb::object zfilter = nb::handle(reinterpret_cast<PyObject*>(bound_type<ZFilterBlock>))(
        to_numpy(tf.num), to_numpy(tf.den), u_ini, y_ini);
    return SFilterBlock(to_numpy(num), to_numpy(den), std::move(ts), std::move(zfilter));
}

nb::list list_of(std::initializer_list<nb::object> items) {
    nb::list list;
    for (const nb::object& item : items) list.append(item);
    return list;
}

}  // namespace

NB_MODULE(filters, m) {
    register_error_translation();
    m.doc() = "Transfer-function filters in deviation form: zFilter (discrete) and sFilter (continuous, ZOH).";

    auto z =
        bind_class<ZFilterBlock>(m, "zFilter", nb::dynamic_attr(),
                                 BlockSlots<ZFilterBlock>().call<kCall, z_step>(kCallDoc).method<kRun, z_step>(kRunDoc),
                                 "Discrete filter B(z^-1)/A(z^-1) around an operating point; call it once per sample.");
    def_init(
        z, &z_init,
        Parameters(
            "None",
            parameter("Bz: collections.abc.Sequence[float] | numpy.ndarray", list_of({nb::int_(0), nb::float_(0.1)})),
            parameter("Az: collections.abc.Sequence[float] | numpy.ndarray", list_of({nb::int_(1), nb::float_(-0.9)})),
            parameter("u_ini: float | None", nb::none()), parameter("y_ini: float | None", nb::none())),
        "Coefficients Bz and Az in ascending powers of z^-1; u_ini and y_ini are the operating point, or None to "
        "take it from the first call.");
    def_method(
        z, "run_multistep",
        [](Self<ZFilterBlock> self, nb::handle U_arr, nb::handle y_ini) {
            return run_multistep(self.py, U_arr, y_ini);
        },
        Parameters("numpy.ndarray", parameter("U_arr: collections.abc.Sequence[float] | numpy.ndarray"),
                   parameter("y_ini: float", 0.0)),
        "Filters a whole input sequence; the same outputs as one call per element.");
    def_object_member(z, "_Bz", "numpy.ndarray", &ZFilterBlock::bz);
    def_object_member(z, "_Az", "numpy.ndarray", &ZFilterBlock::az);
    def_value_member(z, "_u_ini", "typing.Any", &ZFilterBlock::u);
    def_value_member(z, "_y_ini", "typing.Any", &ZFilterBlock::y);
    def_property(
        z, "_zi", "numpy.ndarray", [](const ZFilterBlock& f) { return to_numpy(f.core.state()); },
        [](ZFilterBlock& f, nb::handle value) { f.core.set_state(as_float64_vector(value)); });
    def_pickle<ZFilterBlock>(z, "zFilter", kZStateFields, z_get_state, z_build);

    auto s = bind_class<SFilterBlock>(
        m, "sFilter", nb::dynamic_attr(),
        BlockSlots<SFilterBlock>().call<kCall, s_step>(kCallDoc).method<kRun, s_step>(kRunDoc),
        "Continuous filter B(s)/A(s), discretised once by zero-order hold; call it once per sample.");
    def_init(
        s, &s_init,
        Parameters(
            "None", parameter("Bs: collections.abc.Sequence[float] | numpy.ndarray", list_of({nb::int_(1)})),
            parameter("As: collections.abc.Sequence[float] | numpy.ndarray", list_of({nb::int_(5), nb::int_(1)})),
            parameter("Ts: float", 1), parameter("u_ini: float | None", nb::none()),
            parameter("y_ini: float | None", nb::none())),
        "Coefficients Bs and As in descending powers of s, discretised by zero-order hold at sample time Ts; u_ini "
        "and y_ini are the operating point, or None to take it from the first call.");
    def_method(
        s, "run_multistep",
        [](SFilterBlock& f, nb::handle U_arr, nb::handle y_ini) {
            require_exact(U_arr, &PyList_Type, "U_arr");
            f.inner();  // refused before anything else when it cannot run
            return run_multistep(f.zfilter, U_arr, y_ini);
        },
        Parameters("numpy.ndarray", parameter("U_arr: list[float]"), parameter("y_ini: float", 0.0)),
        "Filters a whole input list; the same outputs as one call per element.");
    def_object_member(s, "_Bs", "numpy.ndarray", &SFilterBlock::bs);
    def_object_member(s, "_As", "numpy.ndarray", &SFilterBlock::as);
    def_property(
        s, "_Ts", "typing.Any", [](const SFilterBlock& f) { return f.ts.get(); },
        [](SFilterBlock& f, nb::handle value) { f.ts = sample_time(value); });
    def_property(s, "_zfilter", "zFilter", [](const SFilterBlock& f) { return f.zfilter; });
    def_pickle<SFilterBlock>(s, "sFilter", kSStateFields, s_get_state, s_build);

    m.attr("_c_api") = nb::capsule(&kCApi, kFiltersCApiName);
}
