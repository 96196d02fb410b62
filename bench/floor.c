/* The least a hand-written binding can do: METH_FASTCALL functions that convert their
 * arguments, make the substitute SDK's call and build the result, with no name lookups,
 * no handler and nothing shared. They are the second floor the benchmark compares the
 * module with, next to operator.is_.
 *
 * `mark` does nothing; the callgrind run cuts its profile in pieces at each call. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ASICamera2.h"

static int status_error(ASI_ERROR_CODE status) {
    PyErr_Format(PyExc_RuntimeError, "ASI error code %d.", (int)status);
    return -1;
}

static int arg_int(PyObject* object, int* out) {
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred())
        return -1;
    *out = (int)value;
    return 0;
}

static int check_count(const char* name, Py_ssize_t nargs, Py_ssize_t wanted) {
    if (nargs == wanted)
        return 0;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments", name, wanted);
    return -1;
}

/* No argument: the camera count. */
static PyObject* count(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    (void)args;
    if (check_count("count", nargs, 0) < 0)
        return NULL;
    return PyLong_FromLong(ASIGetNumOfConnectedCameras());
}

/* Status only: ASIStopExposure(camera_id). */
static PyObject* stop_exposure(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    int camera_id;
    if (check_count("stop_exposure", nargs, 1) < 0 || arg_int(args[0], &camera_id) < 0)
        return NULL;
    ASI_ERROR_CODE status = ASIStopExposure(camera_id);
    if (status != ASI_SUCCESS && status_error(status) < 0)
        return NULL;
    Py_RETURN_NONE;
}

/* Two ints in, two out-pointers, (int, bool) back: ASIGetControlValue. */
static PyObject* control_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    int camera_id, control;
    if (check_count("control_value", nargs, 2) < 0 || arg_int(args[0], &camera_id) < 0 ||
        arg_int(args[1], &control) < 0)
        return NULL;
    long value = 0;
    ASI_BOOL automatic = ASI_FALSE;
    ASI_ERROR_CODE status =
        ASIGetControlValue(camera_id, (ASI_CONTROL_TYPE)control, &value, &automatic);
    if (status != ASI_SUCCESS && status_error(status) < 0)
        return NULL;
    PyObject* pair = PyTuple_New(2);
    if (pair == NULL)
        return NULL;
    PyObject* number = PyLong_FromLong(value);
    if (number == NULL) {
        Py_DECREF(pair);
        return NULL;
    }
    PyTuple_SET_ITEM(pair, 0, number);
    PyTuple_SET_ITEM(pair, 1, Py_NewRef(automatic ? Py_True : Py_False));
    return pair;
}

/* A camera ID and an enumeration value, both plain ints: the SDK call of set_camera_mode
 * and pulse_guide_on with the least conversion there is, so that what remains is the
 * SDK's own cost. */
static int camera_and_value(const char* name, PyObject* const* args, Py_ssize_t nargs,
                            int* camera_id, int* value) {
    if (check_count(name, nargs, 2) < 0 || arg_int(args[0], camera_id) < 0)
        return -1;
    return arg_int(args[1], value);
}

static PyObject* set_camera_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    int camera_id, mode;
    if (camera_and_value("set_camera_mode", args, nargs, &camera_id, &mode) < 0)
        return NULL;
    ASI_ERROR_CODE status = ASISetCameraMode(camera_id, (ASI_CAMERA_MODE)mode);
    if (status != ASI_SUCCESS && status_error(status) < 0)
        return NULL;
    Py_RETURN_NONE;
}

static PyObject* pulse_guide_on(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    int camera_id, direction;
    if (camera_and_value("pulse_guide_on", args, nargs, &camera_id, &direction) < 0)
        return NULL;
    ASI_ERROR_CODE status = ASIPulseGuideOn(camera_id, (ASI_GUIDE_DIRECTION)direction);
    if (status != ASI_SUCCESS && status_error(status) < 0)
        return NULL;
    Py_RETURN_NONE;
}

__attribute__((noinline)) void bench_mark(void) { __asm__ volatile(""); }

static PyObject* mark(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    (void)args;
    (void)nargs;
    bench_mark();
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"count", (PyCFunction)(void (*)(void))count, METH_FASTCALL, NULL},
    {"stop_exposure", (PyCFunction)(void (*)(void))stop_exposure, METH_FASTCALL, NULL},
    {"control_value", (PyCFunction)(void (*)(void))control_value, METH_FASTCALL, NULL},
    {"set_camera_mode", (PyCFunction)(void (*)(void))set_camera_mode, METH_FASTCALL, NULL},
    {"pulse_guide_on", (PyCFunction)(void (*)(void))pulse_guide_on, METH_FASTCALL, NULL},
    {"mark", (PyCFunction)(void (*)(void))mark, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_benchfloor", NULL, 0, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__benchfloor(void) { return PyModuleDef_Init(&definition); }
