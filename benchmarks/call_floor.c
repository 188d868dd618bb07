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

/* The same arguments, returning a float and five ints: the shape of a signal
 * level with its next changes. */
static PyObject *tuple_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)kwargs;
    PyObject *level = floor_call(self, args, NULL);
    if (level == NULL) return NULL;
    PyObject *result = PyTuple_New(6);
    if (result == NULL) {
        Py_DECREF(level);
        return NULL;
    }
    PyTuple_SET_ITEM(result, 0, level);
    for (Py_ssize_t i = 1; i < 6; ++i) {
        PyObject *next = PyLong_FromSsize_t(7 * i);
        if (next == NULL) {
            Py_DECREF(result);
            return NULL;
        }
        PyTuple_SET_ITEM(result, i, next);
    }
    return result;
}

static PyType_Slot tuple_floor_slots[] = {
    {Py_tp_call, (void *)tuple_call},
    {0, NULL},
};

static PyType_Spec tuple_floor_spec = {"call_floor.TupleFloor", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                                       tuple_floor_slots};

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

/* A simulator call's floor: reads the value of each known MV from the input
 * dictionary and builds the output dictionary of one new float per CV. */
typedef struct {
    PyObject_HEAD
    PyObject *mvs; /* tuple of MV tags */
    PyObject *cvs; /* tuple of CV tags */
} DictFloor;

static PyObject *dict_floor_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *mvs, *cvs;
    (void)kwargs;
    if (!PyArg_ParseTuple(args, "O!O!", &PyTuple_Type, &mvs, &PyTuple_Type, &cvs)) return NULL;
    DictFloor *self = (DictFloor *)type->tp_alloc(type, 0);
    if (self == NULL) return NULL;
    self->mvs = Py_NewRef(mvs);
    self->cvs = Py_NewRef(cvs);
    return (PyObject *)self;
}

static void dict_floor_dealloc(PyObject *op) {
    DictFloor *self = (DictFloor *)op;
    PyTypeObject *type = Py_TYPE(op);
    Py_XDECREF(self->mvs);
    Py_XDECREF(self->cvs);
    type->tp_free(op);
    Py_DECREF(type);
}

static PyObject *dict_floor_call(PyObject *op, PyObject *args, PyObject *kwargs) {
    DictFloor *self = (DictFloor *)op;
    (void)kwargs;
    PyObject *u = PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : NULL;
    double sum = 0.0;
    for (Py_ssize_t i = 0; u != NULL && i < PyTuple_GET_SIZE(self->mvs); ++i) {
        PyObject *value = PyDict_GetItemWithError(u, PyTuple_GET_ITEM(self->mvs, i));
        if (value == NULL) {
            if (PyErr_Occurred()) return NULL;
            continue;
        }
        double x = PyFloat_AsDouble(value);
        if (x == -1.0 && PyErr_Occurred()) return NULL;
        sum += x;
    }
    PyObject *out = PyDict_New();
    if (out == NULL) return NULL;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(self->cvs); ++i) {
        PyObject *value = PyFloat_FromDouble(sum);
        if (value == NULL || PyDict_SetItem(out, PyTuple_GET_ITEM(self->cvs, i), value) < 0) {
            Py_XDECREF(value);
            Py_DECREF(out);
            return NULL;
        }
        Py_DECREF(value);
    }
    return out;
}

static PyType_Slot dict_floor_slots[] = {
    {Py_tp_new, (void *)dict_floor_new},
    {Py_tp_dealloc, (void *)dict_floor_dealloc},
    {Py_tp_call, (void *)dict_floor_call},
    {0, NULL},
};

static PyType_Spec dict_floor_spec = {"call_floor.DictFloor", sizeof(DictFloor), 0, Py_TPFLAGS_DEFAULT,
                                      dict_floor_slots};

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
    PyObject *tuple_type = PyType_FromSpec(&tuple_floor_spec);
    if (tuple_type == NULL || PyModule_AddObject(m, "TupleFloor", tuple_type) < 0) {
        Py_XDECREF(tuple_type);
        Py_DECREF(m);
        return NULL;
    }
    PyObject *dict_type = PyType_FromSpec(&dict_floor_spec);
    if (dict_type == NULL || PyModule_AddObject(m, "DictFloor", dict_type) < 0) {
        Py_XDECREF(dict_type);
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
