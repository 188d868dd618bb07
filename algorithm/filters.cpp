// Python module ovelin.algorithm.filters: discrete (zFilter) and continuous
// (sFilter) transfer-function filters working in deviation form around an
// operating point.

#include <nanobind/nanobind.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "conventions.hpp"
#include "ovelin/c2d.hpp"
#include "ovelin/linear_filter.hpp"

namespace nb = nanobind;
using namespace ovelin::binding;

namespace {

// An input or output operating point: open until known. Known values keep the
// caller's object when one was given; a value taken from a call is a plain
// double, turned into a float only when read (no allocation per sample).
struct OperatingPoint {
    double value = 0.0;
    bool known = false;
    nb::object given;

    nb::object get() const {
        if (!known) return nb::none();
        if (given.is_valid()) return given;
        return nb::float_(value);
    }

    void set(nb::handle obj) {
        if (obj.is_none()) {
            *this = OperatingPoint{};
            return;
        }
        const double converted = as_double(obj);
        value = converted;
        known = true;
        given = nb::borrow(obj);
    }

    void take(double v) noexcept {
        if (!known) {
            value = v;
            known = true;
        }
    }

    // (value, given object or None), or None while open.
    nb::object to_state() const {
        if (!known) return nb::none();
        return nb::make_tuple(value, given.is_valid() ? nb::object(given) : nb::none());
    }

    static OperatingPoint from_state(nb::handle state) {
        OperatingPoint p;
        if (state.is_none()) return p;
        p.value = nb::cast<double>(state[0]);
        p.known = true;
        if (!state[1].is_none()) p.given = nb::borrow(state[1]);
        return p;
    }
};

struct ZFilterBlock {
    ZFilterBlock(std::span<const double> b, std::span<const double> a)
        : core(b, a), bz(to_numpy(core.b())), az(to_numpy(core.a())) {}

    double step(double ut, double y_ini) noexcept {
        u.take(ut);
        y.take(y_ini);
        return core.step(ut - u.value) + y.value;
    }

    ovelin::LinearFilter core;
    nb::object bz, az;  // the attributes _Bz and _Az; never read back
    OperatingPoint u, y;
};

struct SFilterBlock {
    SFilterBlock(nb::object bs_, nb::object as_, nb::object ts_, nb::object zfilter_)
        : bs(std::move(bs_)), as(std::move(as_)), ts(std::move(ts_)), zfilter(std::move(zfilter_)),
          inner(nb::inst_ptr<ZFilterBlock>(zfilter)) {}

    nb::object bs, as, ts;  // the attributes _Bs, _As and _Ts; never read back
    nb::object zfilter;     // the inner zFilter instance, owned
    ZFilterBlock* inner;    // its C++ side, for the per-sample path
};

ZFilterBlock& zblock_of(nb::handle self) { return *nb::inst_ptr<ZFilterBlock>(self); }

// --- Batch -------------------------------------------------------------------

nb::object run_multistep(ZFilterBlock& f, nb::handle u_arr, nb::handle y_ini) {
    const Float64View u = as_float64_array(u_arr);
    const double y_arg = as_double(y_ini);
    const std::size_t n = u.shape(0);
    if (n == 0 && !f.u.known) {
        PyErr_SetString(PyExc_IndexError, "index 0 is out of bounds for axis 0 with size 0");
        throw nb::python_error();
    }
    auto [out, view] = new_numpy_array(n);
    if (n > 0) f.u.take(u.data()[0]);
    f.y.take(y_arg);

    // In cache-sized blocks: deviation in, filter in place, operating point out.
    constexpr std::size_t block = 2048;
    const double u0 = f.u.value, y0 = f.y.value;
    const double* x = u.data();
    double* y = view.data();
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t count = std::min(block, n - start);
        double* chunk = y + start;
        for (std::size_t i = 0; i < count; ++i) chunk[i] = x[start + i] - u0;
        f.core.run(std::span<const double>(chunk, count), std::span<double>(chunk, count));
        for (std::size_t i = 0; i < count; ++i) chunk[i] += y0;
    }
    return out;
}

// --- Per-sample calls ----------------------------------------------------------

constexpr FloatSignature<2> kCallSignature{"__call__", {"Ut", "y_ini"}, 1, {0.0, 0.0}};
constexpr FloatSignature<2> kRunSignature{"run", {"Ut", "y_ini"}, 1, {0.0, 0.0}};

double z_step(ZFilterBlock& f, const double* v) { return f.step(v[0], v[1]); }
double s_step(SFilterBlock& s, const double* v) { return s.inner->step(v[0], v[1]); }

constexpr const char* kRunDoc =
    "run($self, /, Ut, y_ini=0.0)\n--\n\n"
    "One sample, the same as calling the filter: returns the output for input Ut.\n"
    "y_ini is the output operating point used while none is set.";

PyMethodDef kZMethods[] = {
    fast_method<ZFilterBlock, kRunSignature, z_step>("run", kRunDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kSMethods[] = {
    fast_method<SFilterBlock, kRunSignature, s_step>("run", kRunDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kZSlots[] = {
    {Py_tp_call, reinterpret_cast<void*>(&float_call<ZFilterBlock, kCallSignature, z_step>)},
    {Py_tp_methods, kZMethods},
    {0, nullptr},
};

PyType_Slot kSSlots[] = {
    {Py_tp_call, reinterpret_cast<void*>(&float_call<SFilterBlock, kCallSignature, s_step>)},
    {Py_tp_methods, kSMethods},
    {0, nullptr},
};

// --- Pickling ------------------------------------------------------------------

nb::tuple z_get_state(nb::handle self) {
    const ZFilterBlock& f = zblock_of(self);
    return nb::make_tuple(to_tuple(f.core.b()), to_tuple(f.core.a()), to_tuple(f.core.state()), f.u.to_state(),
                          f.y.to_state(), f.bz, f.az, instance_dict(self));
}

void z_set_state(ZFilterBlock& f, nb::tuple state) {
    if (state.size() != 8) throw std::invalid_argument("zFilter state must be a tuple of 8 items");
    const auto b = nb::cast<std::vector<double>>(state[0]);
    const auto a = nb::cast<std::vector<double>>(state[1]);
    const auto z = nb::cast<std::vector<double>>(state[2]);
    ZFilterBlock restored(b, a);
    restored.core.set_state(z);
    restored.u = OperatingPoint::from_state(state[3]);
    restored.y = OperatingPoint::from_state(state[4]);
    restored.bz = nb::borrow(state[5]);
    restored.az = nb::borrow(state[6]);
    new (&f) ZFilterBlock(std::move(restored));
    restore_instance_dict(f, state[7]);
}

nb::tuple s_get_state(nb::handle self) {
    const SFilterBlock& s = *nb::inst_ptr<SFilterBlock>(self);
    // The inner filter travels as its state, so that every copy owns its own.
    return nb::make_tuple(s.bs, s.as, s.ts, z_get_state(s.zfilter), instance_dict(self));
}

nb::object new_zfilter_from_state(nb::handle state) {
    nb::handle type = nb::type<ZFilterBlock>();
    nb::object zfilter = type.attr("__new__")(type);
    zfilter.attr("__setstate__")(state);
    return zfilter;
}

void s_set_state(SFilterBlock& s, nb::tuple state) {
    if (state.size() != 5) throw std::invalid_argument("sFilter state must be a tuple of 5 items");
    nb::object zfilter = new_zfilter_from_state(state[3]);
    new (&s) SFilterBlock(nb::borrow(state[0]), nb::borrow(state[1]), nb::borrow(state[2]), std::move(zfilter));
    restore_instance_dict(s, state[4]);
}

// --- Construction --------------------------------------------------------------

void z_init(ZFilterBlock* self, nb::handle Bz, nb::handle Az, nb::handle u_ini, nb::handle y_ini) {
    const std::vector<double> b = as_float64_vector(Bz);
    const std::vector<double> a = as_float64_vector(Az);
    ZFilterBlock block(b, a);
    block.u.set(u_ini);
    block.y.set(y_ini);
    new (self) ZFilterBlock(std::move(block));
}

void s_init(SFilterBlock* self, nb::handle Bs, nb::handle As, nb::handle Ts, nb::handle u_ini, nb::handle y_ini) {
    const std::vector<double> num = as_float64_vector(Bs);
    const std::vector<double> den = as_float64_vector(As);
    const ovelin::TransferFunction tf = ovelin::zoh(num, den, as_double(Ts));
    nb::object zfilter = nb::type<ZFilterBlock>()(to_numpy(tf.num), to_numpy(tf.den), u_ini, y_ini);
    new (self) SFilterBlock(to_numpy(num), to_numpy(den), nb::borrow(Ts), std::move(zfilter));
}

nb::list list_of(std::initializer_list<nb::object> items) {
    nb::list list;
    for (const nb::object& item : items) list.append(item);
    return list;
}

template <class T>
void def_object_attribute(nb::class_<T>& cls, const char* name, nb::object T::* member) {
    cls.def_prop_rw(
        name, [member](const T& block) { return block.*member; },
        [member](T& block, nb::handle value) { block.*member = nb::borrow(value); }, nb::arg("value").none());
}

void def_operating_point(nb::class_<ZFilterBlock>& cls, const char* name, OperatingPoint ZFilterBlock::* member) {
    cls.def_prop_rw(
        name, [member](const ZFilterBlock& f) { return (f.*member).get(); },
        [member](ZFilterBlock& f, nb::handle value) { (f.*member).set(value); }, nb::arg("value").none());
}

}  // namespace

NB_MODULE(filters, m) {
    m.doc() = "Transfer-function filters in deviation form: zFilter (discrete) and sFilter (continuous, ZOH).";

    nb::class_<ZFilterBlock> z(m, "zFilter", nb::dynamic_attr(), nb::type_slots(kZSlots),
                               "Discrete filter B(z^-1)/A(z^-1) around an operating point; call it once per sample.");
    z.def("__init__", &z_init, nb::arg("Bz").none() = list_of({nb::int_(0), nb::float_(0.1)}),
          nb::arg("Az").none() = list_of({nb::int_(1), nb::float_(-0.9)}), nb::arg("u_ini").none() = nb::none(),
          nb::arg("y_ini").none() = nb::none());
    z.def(
        "run_multistep", [](ZFilterBlock& f, nb::handle U_arr, nb::handle y_ini) { return run_multistep(f, U_arr, y_ini); },
        nb::arg("U_arr").none(), nb::arg("y_ini").none() = 0.0,
        "Filters a whole input sequence; the same outputs as one call per element.");
    def_object_attribute(z, "_Bz", &ZFilterBlock::bz);
    def_object_attribute(z, "_Az", &ZFilterBlock::az);
    def_operating_point(z, "_u_ini", &ZFilterBlock::u);
    def_operating_point(z, "_y_ini", &ZFilterBlock::y);
    z.def_prop_rw(
        "_zi", [](const ZFilterBlock& f) { return to_numpy(f.core.state()); },
        [](ZFilterBlock& f, nb::handle value) { f.core.set_state(as_float64_vector(value)); },
        nb::arg("value").none());
    z.def("__getstate__", &z_get_state);
    z.def("__setstate__", &z_set_state);

    nb::class_<SFilterBlock> s(m, "sFilter", nb::dynamic_attr(), nb::type_slots(kSSlots),
                               "Continuous filter B(s)/A(s), discretised once by zero-order hold; call it once per "
                               "sample.");
    s.def("__init__", &s_init, nb::arg("Bs").none() = list_of({nb::int_(1)}),
          nb::arg("As").none() = list_of({nb::int_(5), nb::int_(1)}), nb::arg("Ts").none() = 1,
          nb::arg("u_ini").none() = nb::none(), nb::arg("y_ini").none() = nb::none());
    s.def(
        "run_multistep",
        [](SFilterBlock& f, nb::handle U_arr, nb::handle y_ini) {
            require_exact(U_arr, &PyList_Type, "U_arr");
            return run_multistep(*f.inner, U_arr, y_ini);
        },
        nb::arg("U_arr").none(), nb::arg("y_ini").none() = 0.0,
        "Filters a whole input list; the same outputs as one call per element.");
    def_object_attribute(s, "_Bs", &SFilterBlock::bs);
    def_object_attribute(s, "_As", &SFilterBlock::as);
    def_object_attribute(s, "_Ts", &SFilterBlock::ts);
    s.def_prop_ro("_zfilter", [](const SFilterBlock& f) { return f.zfilter; });
    s.def("__getstate__", &s_get_state);
    s.def("__setstate__", &s_set_state);
}
