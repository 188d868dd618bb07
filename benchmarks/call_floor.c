/* The cheapest calls a CPython extension can offer, as the yardstick for the
 * per-sample cost of the blocks: each converts every argument with
 * PyFloat_AsDouble (None, an optional argument left out, is skipped) and
 * returns a new float. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *floats_to_float(PyObject *const *args, Py_ssize_t nargs) {
    double last = 0.0;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        if (args[i] == Py_None) continue;
        last = PyFloat_AsDouble(args[i]);
        if (last == -1.0 && PyErr_Occurred()) return NULL;
    }
    return PyFloat_FromDouble(last);
}

static PyObject *floor_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    (void)self;
    return floats_to_float(args, nargs);
}

static PyObject *floor_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self;
    (void)kwargs;
    return floats_to_float(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args));
}

static PyMethodDef floor_methods[] = {
    {"method", (PyCFunction)(void (*)(void))floor_method, METH_FASTCALL, "no-op method"},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot floor_slots[] = {
    {Py_tp_methods, floor_methods},
    {Py_tp_call, (void *)floor_call},
    {0, NULL},
};

static PyType_Spec floor_spec = {"call_floor.Floor", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, floor_slots};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "call_floor", NULL, -1, NULL};

PyMODINIT_FUNC PyInit_call_floor(void) {
    PyObject *m = PyModule_Create(&floor_module);
    if (m == NULL) return NULL;
    PyObject *type = PyType_FromSpec(&floor_spec);
    if (type == NULL || PyModule_AddObject(m, "Floor", type) < 0) {
        Py_XDECREF(type);
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
