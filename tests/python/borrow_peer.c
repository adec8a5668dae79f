/* A second extension module that shares NumPy array borrows with rowmerge.
 *
 * Built by the tests only.  It takes and gives back borrows through the
 * registry capsule on NumPy's array module, as any cooperating module does,
 * and can publish a capsule of its own (a recording registry whose acquire
 * answers with a chosen code) before rowmerge looks for one.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>

#define CAPSULE_NAME "_RUST_NUMPY_BORROW_CHECKING_API"

typedef struct {
    uint64_t version;
    void *flags;
    int (*acquire)(void *, PyObject *);
    int (*acquire_mut)(void *, PyObject *);
    void (*release)(void *, PyObject *);
    void (*release_mut)(void *, PyObject *);
} BorrowApi;

static PyObject *array_module(void)
{
    PyObject *numpy = PyImport_ImportModule("numpy");
    if (numpy == NULL) return NULL;
    PyObject *version = PyObject_GetAttrString(numpy, "__version__");
    Py_DECREF(numpy);
    if (version == NULL) return NULL;
    const char *text = PyUnicode_AsUTF8(version);
    const char *name = (text != NULL && text[0] >= '2' && text[1] == '.') ? "numpy._core.multiarray"
                                                                          : "numpy.core.multiarray";
    PyObject *module = text != NULL ? PyImport_ImportModule(name) : NULL;
    Py_DECREF(version);
    return module;
}

static const BorrowApi *shared_api(void)
{
    PyObject *module = array_module();
    if (module == NULL) return NULL;
    PyObject *capsule = PyObject_GetAttrString(module, CAPSULE_NAME);
    Py_DECREF(module);
    if (capsule == NULL) return NULL;
    const BorrowApi *api = PyCapsule_GetPointer(capsule, CAPSULE_NAME);
    Py_DECREF(capsule); /* NumPy's module keeps it */
    return api;
}

static PyObject *call_acquire(PyObject *array, int exclusive)
{
    const BorrowApi *api = shared_api();
    if (api == NULL) return NULL;
    int code = exclusive ? api->acquire_mut(api->flags, array) : api->acquire(api->flags, array);
    return PyLong_FromLong(code);
}

static PyObject *call_release(PyObject *array, int exclusive)
{
    const BorrowApi *api = shared_api();
    if (api == NULL) return NULL;
    if (exclusive) api->release_mut(api->flags, array);
    else api->release(api->flags, array);
    Py_RETURN_NONE;
}

static PyObject *acquire_mut(PyObject *Py_UNUSED(self), PyObject *array) { return call_acquire(array, 1); }
static PyObject *release_mut(PyObject *Py_UNUSED(self), PyObject *array) { return call_release(array, 1); }
static PyObject *acquire(PyObject *Py_UNUSED(self), PyObject *array) { return call_acquire(array, 0); }
static PyObject *release(PyObject *Py_UNUSED(self), PyObject *array) { return call_release(array, 0); }

/* The recording registry published by `publish`. */
static struct {
    int acquire_code;
    long acquired, released;
} RECORDER;

static int rec_acquire(void *Py_UNUSED(flags), PyObject *Py_UNUSED(array)) { RECORDER.acquired++; return RECORDER.acquire_code; }
static int rec_acquire_mut(void *Py_UNUSED(flags), PyObject *Py_UNUSED(array)) { return 0; }
static void rec_release(void *Py_UNUSED(flags), PyObject *Py_UNUSED(array)) { RECORDER.released++; }
static void rec_release_mut(void *Py_UNUSED(flags), PyObject *Py_UNUSED(array)) {}

static BorrowApi RECORDING_API = {1, &RECORDER, rec_acquire, rec_acquire_mut, rec_release, rec_release_mut};

/* publish(version, acquire_code, name=CAPSULE_NAME) */
static PyObject *publish(PyObject *Py_UNUSED(self), PyObject *args)
{
    unsigned long long version;
    int code;
    const char *name = CAPSULE_NAME;
    if (!PyArg_ParseTuple(args, "Ki|s", &version, &code, &name)) return NULL;
    RECORDING_API.version = version;
    RECORDER.acquire_code = code;
    static char NAME_COPY[128];
    snprintf(NAME_COPY, sizeof NAME_COPY, "%s", name);
    PyObject *capsule = PyCapsule_New(&RECORDING_API, NAME_COPY, NULL);
    if (capsule == NULL) return NULL;
    PyObject *module = array_module();
    if (module == NULL) { Py_DECREF(capsule); return NULL; }
    int rc = PyObject_SetAttrString(module, CAPSULE_NAME, capsule);
    Py_DECREF(module);
    Py_DECREF(capsule);
    if (rc != 0) return NULL;
    Py_RETURN_NONE;
}

static PyObject *recorded(PyObject *Py_UNUSED(self), PyObject *Py_UNUSED(unused))
{
    return Py_BuildValue("(ll)", RECORDER.acquired, RECORDER.released);
}

static PyMethodDef METHODS[] = {
    {"acquire_mut", acquire_mut, METH_O, "Exclusive borrow through the shared registry; returns the code."},
    {"release_mut", release_mut, METH_O, "Gives back an exclusive borrow."},
    {"acquire", acquire, METH_O, "Shared borrow through the shared registry; returns the code."},
    {"release", release, METH_O, "Gives back a shared borrow."},
    {"publish", publish, METH_VARARGS, "Publishes a recording registry capsule."},
    {"recorded", recorded, METH_NOARGS, "(acquires, releases) seen by the recording registry."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef MODULE_DEF = {PyModuleDef_HEAD_INIT, "_borrow_peer", NULL, -1, METHODS, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__borrow_peer(void) { return PyModule_Create(&MODULE_DEF); }
