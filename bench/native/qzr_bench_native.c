/* Compiled pieces for the benchmarks only; built by bench/native/build.py
 * into a build folder of the benchmarks and never installed.
 *
 *   InstantMaster    a compiled master answering canned values at once, with
 *                    the operations of bench/common.py's InstantMaster
 *   install_ceiling  gives a Python class the ceiling probes' methods: each
 *                    looks up the master field on self, looks up the
 *                    master's method and calls it, with the fastest public
 *                    calls this interpreter has; `nothing` is the cost of
 *                    entering and leaving a compiled method at all
 *   nap              a sleep that returns at once
 *   append           open(O_APPEND) / write / close of one line, COUNT times
 *                    in a C loop: the system calls a log record needs
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

/* METH_FASTCALL exists from 3.6 on; 3.6 passes keyword names to every such
 * function (3.7 moved them to METH_FASTCALL | METH_KEYWORDS). */
#if PY_VERSION_HEX >= 0x03070000
#define FASTCALL_PARAMS PyObject *self, PyObject *const *args, Py_ssize_t nargs
#define NO_KEYWORDS(fname) 0
#else
#define FASTCALL_PARAMS PyObject *self, PyObject **args, Py_ssize_t nargs, PyObject *kwnames
#define NO_KEYWORDS(fname) keywords_given(fname, kwnames)
#endif
#define FASTCALL_FN(f) ((PyCFunction)(void (*)(void))(f))

static PyObject *master_field; /* "_KOVAxisController__mew" */
static PyObject *block;        /* what get_multi_int32 answers */

#if PY_VERSION_HEX < 0x03070000
static int
keywords_given(const char *fname, PyObject *kwnames)
{
    if (kwnames != NULL && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", fname);
        return 1;
    }
    return 0;
}
#endif

static int
wrong_count(const char *fname, Py_ssize_t expected, Py_ssize_t given)
{
    if (given == expected)
        return 0;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", fname,
                 expected, given);
    return 1;
}

#define CHECKED(fname, count) \
    if (NO_KEYWORDS(fname) || wrong_count(fname, count, nargs)) return NULL

/* ---- InstantMaster -------------------------------------------------- */

typedef struct {
    PyObject_HEAD
} MasterObject;

#define MASTER_OP(op, count, answer) \
    static PyObject *master_##op(FASTCALL_PARAMS) \
    { \
        (void)self; (void)args; \
        CHECKED(#op, count); \
        answer; \
    }

MASTER_OP(close, 0, Py_RETURN_NONE)
MASTER_OP(get_coil, 2, Py_RETURN_FALSE)
MASTER_OP(set_coil, 3, Py_RETURN_NONE)
MASTER_OP(get_coil_uint16, 2, return PyLong_FromLong(0))
MASTER_OP(set_coil_uint16, 3, Py_RETURN_NONE)
MASTER_OP(get_int32, 2, return PyLong_FromLong(0))
MASTER_OP(set_int32, 3, Py_RETURN_NONE)
MASTER_OP(set_uint32, 3, Py_RETURN_NONE)
MASTER_OP(get_multi_int32, 3, Py_INCREF(block); return block)
MASTER_OP(set_multi_uint32, 3, Py_RETURN_NONE)

#define MASTER_METHOD(op) {#op, FASTCALL_FN(master_##op), METH_FASTCALL, NULL}

static PyMethodDef master_methods[] = {
    MASTER_METHOD(close),
    MASTER_METHOD(get_coil),
    MASTER_METHOD(set_coil),
    MASTER_METHOD(get_coil_uint16),
    MASTER_METHOD(set_coil_uint16),
    MASTER_METHOD(get_int32),
    MASTER_METHOD(set_int32),
    MASTER_METHOD(set_uint32),
    MASTER_METHOD(get_multi_int32),
    MASTER_METHOD(set_multi_uint32),
    {NULL, NULL, 0, NULL},
};

static PyTypeObject MasterType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "qzr_bench_native.InstantMaster",
    .tp_basicsize = sizeof(MasterObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "A compiled master whose operations answer canned values at once.",
    .tp_methods = master_methods,
    .tp_new = PyType_GenericNew,
};

/* ---- ceiling probes -------------------------------------------------------- */

/* master = self._KOVAxisController__mew; return master.<op>(*args) */
static PyObject *
ceiling_call(PyObject *self, PyObject *op, PyObject *const *args, Py_ssize_t nargs)
{
    PyObject *master = PyObject_GetAttr(self, master_field);
    if (master == NULL)
        return NULL;
    PyObject *result;
#if PY_VERSION_HEX >= 0x03090000
    PyObject *stack[4];
    stack[0] = master;
    for (Py_ssize_t i = 0; i < nargs; i++)
        stack[i + 1] = args[i];
    result = PyObject_VectorcallMethod(op, stack, (size_t)(1 + nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       NULL);
#else
    /* No method call without a bound method here: take the bound method
     * apart and call its function with self first, which reaches Python
     * functions and compiled methods without an argument tuple. */
    PyObject *method = PyObject_GetAttr(master, op);
    if (method == NULL) {
        Py_DECREF(master);
        return NULL;
    }
    PyObject *callable = method;
    PyObject *a[4];
    Py_ssize_t n = 0;
    if (PyMethod_Check(method)) {
        callable = PyMethod_GET_FUNCTION(method);
        a[n++] = PyMethod_GET_SELF(method);
    }
    for (Py_ssize_t i = 0; i < nargs; i++)
        a[n++] = args[i];
    switch (n) {
    case 0: result = PyObject_CallFunctionObjArgs(callable, NULL); break;
    case 1: result = PyObject_CallFunctionObjArgs(callable, a[0], NULL); break;
    case 2: result = PyObject_CallFunctionObjArgs(callable, a[0], a[1], NULL); break;
    case 3: result = PyObject_CallFunctionObjArgs(callable, a[0], a[1], a[2], NULL); break;
    default: result = PyObject_CallFunctionObjArgs(callable, a[0], a[1], a[2], a[3], NULL); break;
    }
    Py_DECREF(method);
#endif
    Py_DECREF(master);
    return result;
}

/* Interned operation names, one per probe method, filled at import. */
enum { OP_CLOSE, OP_GET_COIL, OP_SET_COIL, OP_GET_COIL_UINT16, OP_SET_COIL_UINT16, OP_GET_INT32,
       OP_SET_INT32, OP_SET_UINT32, OP_GET_MULTI_INT32, OP_SET_MULTI_UINT32, OP_COUNT };
static const char *const op_names[OP_COUNT] = {
    "close", "get_coil", "set_coil", "get_coil_uint16", "set_coil_uint16", "get_int32",
    "set_int32", "set_uint32", "get_multi_int32", "set_multi_uint32",
};
static PyObject *op_objects[OP_COUNT];

#define CEILING_OP(op, index, count) \
    static PyObject *ceiling_##op(FASTCALL_PARAMS) \
    { \
        CHECKED(#op, count); \
        return ceiling_call(self, op_objects[index], args, nargs); \
    }

CEILING_OP(close, OP_CLOSE, 0)
CEILING_OP(get_coil, OP_GET_COIL, 2)
CEILING_OP(set_coil, OP_SET_COIL, 3)
CEILING_OP(get_coil_uint16, OP_GET_COIL_UINT16, 2)
CEILING_OP(set_coil_uint16, OP_SET_COIL_UINT16, 3)
CEILING_OP(get_int32, OP_GET_INT32, 2)
CEILING_OP(set_int32, OP_SET_INT32, 3)
CEILING_OP(set_uint32, OP_SET_UINT32, 3)
CEILING_OP(get_multi_int32, OP_GET_MULTI_INT32, 3)
CEILING_OP(set_multi_uint32, OP_SET_MULTI_UINT32, 3)

static PyObject *
ceiling_nothing(FASTCALL_PARAMS)
{
    (void)self;
    (void)args;
    (void)nargs;
    if (NO_KEYWORDS("nothing"))
        return NULL;
    Py_RETURN_NONE;
}

#define CEILING_METHOD(op) {#op, FASTCALL_FN(ceiling_##op), METH_FASTCALL, NULL}

static PyMethodDef ceiling_methods[] = {
    CEILING_METHOD(close),
    CEILING_METHOD(get_coil),
    CEILING_METHOD(set_coil),
    CEILING_METHOD(get_coil_uint16),
    CEILING_METHOD(set_coil_uint16),
    CEILING_METHOD(get_int32),
    CEILING_METHOD(set_int32),
    CEILING_METHOD(set_uint32),
    CEILING_METHOD(get_multi_int32),
    CEILING_METHOD(set_multi_uint32),
    CEILING_METHOD(nothing),
    {NULL, NULL, 0, NULL},
};

/* install_ceiling(cls): adds the methods above to CLS, a class defined in
 * Python, as method descriptors of that class: its instances then keep
 * their fields as any Python object does (a controller's included), and a
 * call is as cheap as a call of a compiled method gets. */
static PyObject *
install_ceiling(PyObject *module, PyObject *cls)
{
    (void)module;
    if (!PyType_Check(cls) || !(((PyTypeObject *)cls)->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        PyErr_SetString(PyExc_TypeError, "install_ceiling() needs a class defined in Python");
        return NULL;
    }
    for (PyMethodDef *def = ceiling_methods; def->ml_name != NULL; def++) {
        PyObject *descr = PyDescr_NewMethod((PyTypeObject *)cls, def);
        if (descr == NULL)
            return NULL;
        int failed = PyObject_SetAttrString(cls, def->ml_name, descr);
        Py_DECREF(descr);
        if (failed)
            return NULL;
    }
    Py_RETURN_NONE;
}

/* ---- append --------------------------------------------------------- */

/* append(path: bytes, data: bytes, count: int = 1, release: bool = False)
 * COUNT times: open PATH for appending, write DATA whole, close. With
 * RELEASE the interpreter lock is released once around each record. */
static PyObject *
append(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    if (nargs < 2 || nargs > 4) {
        PyErr_SetString(PyExc_TypeError, "append(path, data, count=1, release=False)");
        return NULL;
    }
    if (!PyBytes_Check(args[0]) || !PyBytes_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "append: path and data must be bytes");
        return NULL;
    }
    Py_ssize_t count = 1;
    int release = 0;
    if (nargs > 2) {
        count = PyLong_AsSsize_t(args[2]);
        if (count == -1 && PyErr_Occurred())
            return NULL;
    }
    if (nargs > 3) {
        release = PyObject_IsTrue(args[3]);
        if (release < 0)
            return NULL;
    }
    const char *path = PyBytes_AS_STRING(args[0]);
    const char *data = PyBytes_AS_STRING(args[1]);
    Py_ssize_t size = PyBytes_GET_SIZE(args[1]);
    if ((Py_ssize_t)strlen(path) != PyBytes_GET_SIZE(args[0])) {
        PyErr_SetString(PyExc_ValueError, "append: embedded null byte in path");
        return NULL;
    }
    int error = 0;
    for (Py_ssize_t i = 0; i < count && !error; i++) {
        PyThreadState *saved = release ? PyEval_SaveThread() : NULL;
        int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        if (fd < 0) {
            error = errno;
        } else {
            Py_ssize_t done = 0;
            while (done < size) {
                ssize_t n = write(fd, data + done, (size_t)(size - done));
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    error = errno;
                    break;
                }
                done += n;
            }
            if (close(fd) != 0 && !error)
                error = errno;
        }
        if (saved != NULL)
            PyEval_RestoreThread(saved);
    }
    if (error) {
        errno = error;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, args[0]);
    }
    Py_RETURN_NONE;
}

static PyObject *
append_entry(PyObject *module, PyObject *const *args, Py_ssize_t nargs
#if PY_VERSION_HEX < 0x03070000
             , PyObject *kwnames
#endif
)
{
#if PY_VERSION_HEX < 0x03070000
    if (keywords_given("append", kwnames))
        return NULL;
#endif
    return append(module, args, nargs);
}

/* nap(seconds): returns at once; a sleep that takes no time. */
static PyObject *
nap(PyObject *module, PyObject *seconds)
{
    (void)module;
    (void)seconds;
    Py_RETURN_NONE;
}

static PyMethodDef module_functions[] = {
    {"nap", nap, METH_O, "nap(seconds): returns at once (a sleep that takes no time)."},
    {"install_ceiling", install_ceiling, METH_O,
     "install_ceiling(cls): gives CLS (a class defined in Python) the ceiling methods:\n"
     "one per master operation, each looking up self._KOVAxisController__mew, then\n"
     "the master's operation, and calling it; and nothing(*args)."},
    {"append", FASTCALL_FN(append_entry), METH_FASTCALL,
     "append(path, data, count=1, release=False): COUNT times open PATH (bytes) for\n"
     "appending, write DATA (bytes) whole and close it; with RELEASE the interpreter\n"
     "lock is released around each of them."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    .m_name = "qzr_bench_native",
    .m_doc = "Compiled stand-ins and probes for the qzr_kov benchmarks (never installed).",
    .m_size = -1,
    .m_methods = module_functions,
};

PyMODINIT_FUNC
PyInit_qzr_bench_native(void)
{
    master_field = PyUnicode_InternFromString("_KOVAxisController__mew");
    if (master_field == NULL)
        return NULL;
    for (int i = 0; i < OP_COUNT; i++) {
        op_objects[i] = PyUnicode_InternFromString(op_names[i]);
        if (op_objects[i] == NULL)
            return NULL;
    }
    block = Py_BuildValue("[iiiiiiiiiii]", 1000, 1000, 50, 0, 0, 0, 0, 0, 0, 0, 0x20001);
    if (block == NULL || PyType_Ready(&MasterType) < 0)
        return NULL;
    PyObject *module = PyModule_Create(&module_def);
    if (module == NULL)
        return NULL;
    Py_INCREF(&MasterType);
    Py_INCREF(block);
    if (PyModule_AddObject(module, "InstantMaster", (PyObject *)&MasterType) < 0 ||
        PyModule_AddObject(module, "block", block) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
