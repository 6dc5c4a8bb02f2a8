// The extension's entry point: multi-phase initialisation with one create
// and one exec step. The module loads into one interpreter per process and is
// initialised once; a failed initialisation leaves nothing initialised, so the
// next import starts over.
#include <Python.h>

#include "core/namespace.hpp"
#include "entry/import_steps.hpp"
#include "log/log.hpp"
#include "py/boundary.hpp"
#include "py/compat.hpp"
#include "py/ref.hpp"

namespace qzr {
namespace {

// The initialised (or initialising) module object; owned.
PyObject* g_module = nullptr;

// The interpreter that first loaded the module.
bool g_have_interpreter = false;
long long g_interpreter = 0;

bool check_single_interpreter() {
    long long current = py::compat::current_interpreter_id();
    if (!g_have_interpreter) {
        g_interpreter = current;
        g_have_interpreter = true;
        return true;
    }
    if (current == g_interpreter) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return false;
}

PyObject* create_module(PyObject* module_spec, PyModuleDef*) {
    if (!check_single_interpreter()) return nullptr;
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    py::Ref name = py::Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

void forget_module() {
    Py_CLEAR(g_module);
    ns::set_dict(nullptr);
}

int exec_module(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'qzr_kov' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    Py_INCREF(module);
    g_module = module;
    int status = py::guard_status([&] {
        ns::set_dict(PyModule_GetDict(module));
        run_import_steps();
    });
    if (status != 0) {
        log::detach_file_handler();
        forget_module();
    } else {
        log::forget_file_handler();
    }
    return status;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "qzr_kov",  // m_name
    nullptr,    // m_doc
    0,          // m_size
    nullptr,    // m_methods
    g_slots,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

}  // namespace
}  // namespace qzr

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_qzr_kov() {
    return PyModuleDef_Init(&qzr::g_def);
}
