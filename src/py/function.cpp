#include "py/function.hpp"

#include <cstddef>
#include <cstring>

#include "py/boundary.hpp"
#include "py/call.hpp"
#include "py/compat.hpp"
#include "py/text.hpp"
#include "py/name.hpp"

namespace py {
namespace {

struct FunctionObject {
    PyObject_HEAD
#if QZR_HAVE_VECTORCALL
    vectorcallfunc vectorcall;
#endif
    Body body;
    int nparams;
    bool converts;  // whether any parameter is converted on entry
    Conv conv[kMaxParams];
    PyObject* param_names;  // tuple of interned str
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple, or null when there are none
    PyObject* annotations;  // dict, or null until first asked for
    PyObject* dict;
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

PyTypeObject g_type;  // filled in by ready_type()

// ---- argument binding ---------------------------------------------------

// Binds one call's arguments to the parameters and runs the body, reporting
// argument errors in the interpreter's own wording.
class Call {
public:
    explicit Call(FunctionObject* f) : f_(f) {}

    void positional(PyObject* const* args, Py_ssize_t nargs) {
        nargs_ = nargs;
        Py_ssize_t n = nargs < f_->nparams ? nargs : f_->nparams;
        for (Py_ssize_t i = 0; i < n; ++i) args_[i] = args[i];
    }

    void keyword(PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", display_name());
            throw_error();
        }
        int index = find(key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                         display_name(), key);
            throw_error();
        }
        if (args_[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         display_name(), key);
            throw_error();
        }
        args_[index] = value;
    }

    Ref run() {
        if (nargs_ > f_->nparams) too_many_positional();
        fill_defaults();
        convert();
        return f_->body(args_);
    }

private:
    PyObject* display_name() const {
        return compat::kArgErrorsUseQualname ? f_->qualname : f_->name;
    }

    int find(PyObject* key) const {
        for (int i = 0; i < f_->nparams; ++i) {
            if (PyTuple_GET_ITEM(f_->param_names, i) == key) return i;
        }
        for (int i = 0; i < f_->nparams; ++i) {
            if (PyUnicode_Compare(PyTuple_GET_ITEM(f_->param_names, i), key) == 0) return i;
        }
        return -1;
    }

    Py_ssize_t ndefaults() const { return f_->defaults ? PyTuple_GET_SIZE(f_->defaults) : 0; }

    [[noreturn]] void too_many_positional() const {
        Py_ssize_t ndef = ndefaults();
        Ref sig;
        bool plural;
        if (ndef > 0) {
            sig = check(PyUnicode_FromFormat("from %zd to %d", f_->nparams - ndef, f_->nparams));
            plural = true;
        } else {
            sig = check(PyUnicode_FromFormat("%d", f_->nparams));
            plural = f_->nparams != 1;
        }
        PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                     display_name(), sig.get(), plural ? "s" : "", nargs_,
                     nargs_ == 1 ? "was" : "were");
        throw_error();
    }

    void fill_defaults() {
        Py_ssize_t first_default = f_->nparams - ndefaults();
        int missing = 0;
        for (int i = 0; i < f_->nparams; ++i) {
            if (args_[i] != nullptr) continue;
            if (i >= first_default) {
                args_[i] = PyTuple_GET_ITEM(f_->defaults, i - first_default);
            } else {
                ++missing;
            }
        }
        if (missing > 0) report_missing(missing);
    }

    // "f() missing 2 required positional arguments: 'a' and 'b'"
    [[noreturn]] void report_missing(int missing) const {
        Ref names = check(PyList_New(0));
        for (int i = 0; i < f_->nparams; ++i) {
            if (args_[i] != nullptr) continue;
            Ref quoted = check(PyObject_Repr(PyTuple_GET_ITEM(f_->param_names, i)));
            require(PyList_Append(names.get(), quoted.get()) == 0);
        }
        Ref listed;
        Py_ssize_t n = PyList_GET_SIZE(names.get());
        if (n == 1) {
            listed = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
        } else {
            Ref tail = check(PyUnicode_FromFormat(n == 2 ? "%U and %U" : "%U, and %U",
                                                  PyList_GET_ITEM(names.get(), n - 2),
                                                  PyList_GET_ITEM(names.get(), n - 1)));
            Ref head = check(PyList_GetSlice(names.get(), 0, n - 2));
            require(PyList_Append(head.get(), tail.get()) == 0);
            Ref separator = check(PyUnicode_FromString(", "));
            listed = check(PyUnicode_Join(separator.get(), head.get()));
        }
        PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U",
                     display_name(), missing, missing == 1 ? "" : "s", listed.get());
        throw_error();
    }

    void convert() {
        for (int i = 0; i < f_->nparams; ++i) {
            if (!needs_conversion(f_->conv[i], args_[i])) continue;
            if (f_->conv[i] == Conv::Float) {
                converted_[i] = to_float(args_[i]);
                args_[i] = converted_[i].get();
            } else {
                require_str_or_none(args_[i],
                                    PyUnicode_AsUTF8(PyTuple_GET_ITEM(f_->param_names, i)));
            }
        }
    }

    FunctionObject* f_;
    Py_ssize_t nargs_ = 0;
    PyObject* args_[kMaxParams] = {};
    Ref converted_[kMaxParams];
};

// Whether the arguments already are what the conversions would make them.
bool already_converted(const FunctionObject* f, PyObject* const* args) {
    for (int i = 0; i < f->nparams; ++i) {
        if (needs_conversion(f->conv[i], args[i])) return false;
    }
    return true;
}

// Binds the arguments (positional, then keyword names with their values
// after the positional ones) and runs the body.
// (Calls made from C++ count towards the recursion limit: see call.hpp.)
PyObject* call_with_arguments(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    if (kwnames == nullptr && nargs == f->nparams &&
        (!f->converts || already_converted(f, args))) {
        // Every argument given by position and as it should be: the common
        // case, handed straight to the body.
        return guard([&] { return f->body(args); });
    }
    return guard([&] {
        Call call(f);
        call.positional(args, nargs);
        if (kwnames != nullptr) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
                call.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
            }
        }
        return call.run();
    });
}


#if QZR_HAVE_VECTORCALL
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return call_with_arguments(as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}
#else
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    FunctionObject* f = as_function(self);
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_Size(kwargs) == 0) {
        return call_with_arguments(f, positional, nargs, nullptr);
    }
    return guard([&] {
        Call call(f);
        call.positional(positional, nargs);
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) call.keyword(key, value);
        return call.run();
    });
}
#endif

// ---- the type's slots ---------------------------------------------------

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->param_names);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyObject_GC_Del(self);
}

// ---- attributes -----------------------------------------------------------

PyObject* or_none(PyObject* p) {
    PyObject* r = p != nullptr ? p : Py_None;
    Py_INCREF(r);
    return r;
}

PyObject* get_name(PyObject* self, void*) { return or_none(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return or_none(as_function(self)->qualname); }
PyObject* get_module(PyObject* self, void*) { return or_none(as_function(self)->module); }
PyObject* get_doc(PyObject* self, void*) { return or_none(as_function(self)->doc); }
PyObject* get_defaults(PyObject* self, void*) { return or_none(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// Replaces a field; deleting stores None, as for a Python function.
int set_field(PyObject** field, PyObject* value) {
    PyObject* old = *field;
    *field = value != nullptr ? value : Py_None;
    Py_INCREF(*field);
    Py_XDECREF(old);
    return 0;
}

int set_module(PyObject* self, PyObject* value, void*) {
    return set_field(&as_function(self)->module, value);
}

int set_doc(PyObject* self, PyObject* value, void*) {
    return set_field(&as_function(self)->doc, value);
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    FunctionObject* f = as_function(self);
    Py_XINCREF(value);
    Py_XSETREF(f->annotations, value);
    return 0;
}

Name kInspect{"inspect"};
Name kParameter{"Parameter"};
Name kSignature{"Signature"};
Name kPositionalOrKeyword{"POSITIONAL_OR_KEYWORD"};
Name kEmpty{"empty"};
Name kDefault{"default"};
Name kAnnotation{"annotation"};
Name kReturnAnnotation{"return_annotation"};
Name kReturn{"return"};

// inspect.Signature built from the parameters, defaults and annotations as
// they stand now.
PyObject* get_signature(PyObject* self, void*) {
    return guard([&] {
        FunctionObject* f = as_function(self);
        Ref inspect = check(PyImport_Import(kInspect.get()));
        Ref parameter = getattr(inspect.get(), kParameter);
        Ref kind = getattr(parameter.get(), kPositionalOrKeyword);
        Ref annotations = check(get_annotations(self, nullptr));
        Ref params = check(PyList_New(0));
        Py_ssize_t first_default = f->nparams - (f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0);
        for (int i = 0; i < f->nparams; ++i) {
            PyObject* name = PyTuple_GET_ITEM(f->param_names, i);
            KeywordCall make_parameter;
            if (i >= first_default) {
                make_parameter.with(kDefault, PyTuple_GET_ITEM(f->defaults, i - first_default));
            }
            PyObject* annotation = PyDict_GetItemWithError(annotations.get(), name);
            if (annotation != nullptr) {
                make_parameter.with(kAnnotation, annotation);
            } else if (PyErr_Occurred()) {
                throw_error();
            }
            Ref param = make_parameter.call(parameter.get(), name, kind);
            require(PyList_Append(params.get(), param.get()) == 0);
        }
        KeywordCall make_signature;
        PyObject* returns = PyDict_GetItemWithError(annotations.get(), kReturn.get());
        if (returns != nullptr) {
            make_signature.with(kReturnAnnotation, returns);
        } else if (PyErr_Occurred()) {
            throw_error();
        }
        Ref signature = getattr(inspect.get(), kSignature);
        return make_signature.call(signature.get(), params);
    });
}

// 3.6 declares the name as char*.
#define QZR_NAME(text) const_cast<char*>(text)

PyGetSetDef g_getset[] = {
    {QZR_NAME("__name__"), get_name, nullptr, nullptr, nullptr},
    {QZR_NAME("__qualname__"), get_qualname, nullptr, nullptr, nullptr},
    {QZR_NAME("__module__"), get_module, set_module, nullptr, nullptr},
    {QZR_NAME("__doc__"), get_doc, set_doc, nullptr, nullptr},
    {QZR_NAME("__defaults__"), get_defaults, nullptr, nullptr, nullptr},
    {QZR_NAME("__kwdefaults__"), get_kwdefaults, nullptr, nullptr, nullptr},
    {QZR_NAME("__annotations__"), get_annotations, set_annotations, nullptr, nullptr},
    {QZR_NAME("__signature__"), get_signature, nullptr, nullptr, nullptr},
    {QZR_NAME("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef QZR_NAME

void ready_type() {
    if (g_type.tp_flags & Py_TPFLAGS_READY) return;
    PyObject* head = reinterpret_cast<PyObject*>(&g_type);
#if PY_VERSION_HEX >= 0x03090000
    Py_SET_REFCNT(head, 1);
#else
    head->ob_refcnt = 1;
#endif
    g_type.tp_name = "qzr_kov.function";
    g_type.tp_basicsize = sizeof(FunctionObject);
    g_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | QZR_METHOD_DESCRIPTOR_FLAG;
#if QZR_HAVE_VECTORCALL
    g_type.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    g_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    g_type.tp_call = PyVectorcall_Call;
#else
    g_type.tp_call = function_call;
#endif
    g_type.tp_dealloc = function_dealloc;
    g_type.tp_repr = function_repr;
    g_type.tp_traverse = function_traverse;
    g_type.tp_clear = function_clear;
    g_type.tp_descr_get = function_descr_get;
    g_type.tp_getset = g_getset;
    g_type.tp_dictoffset = offsetof(FunctionObject, dict);
    g_type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    require(PyType_Ready(&g_type) == 0);
}

}  // namespace

bool is_function(PyObject* obj) { return Py_TYPE(obj) == &g_type; }

PyObject* call_function(PyObject* function, PyObject* const* args, Py_ssize_t nargs) {
    return call_with_arguments(as_function(function), args, nargs, nullptr);
}

Ref make_function(const FunctionParts& parts) {
    ready_type();
    int nparams = static_cast<int>(parts.params.size());
    if (nparams > kMaxParams) {
        raise(PyExc_SystemError, "too many parameters for a C++ function");
    }
    Ref names = check(PyTuple_New(nparams));
    for (int i = 0; i < nparams; ++i) {
        PyObject* name = PyUnicode_InternFromString(parts.params[i].name);
        require(name != nullptr);
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    Ref name = check(PyUnicode_FromString(parts.name));
    Ref qualname = check(PyUnicode_FromString(parts.qualname));
    Ref doc = parts.doc ? check(PyUnicode_FromString(parts.doc)) : none();

    // Every field is set before a Ref owns the object, so that its
    // deallocation never sees one uninitialised.
    FunctionObject* f = PyObject_GC_New(FunctionObject, &g_type);
    require(f != nullptr);
#if QZR_HAVE_VECTORCALL
    f->vectorcall = function_vectorcall;
#endif
    f->body = parts.body;
    f->nparams = nparams;
    f->converts = false;
    for (const Param& p : parts.params) f->converts = f->converts || p.conv != Conv::None;
    for (int i = 0; i < kMaxParams; ++i) f->conv[i] = i < nparams ? parts.params[i].conv : Conv::None;
    f->param_names = names.release();
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Ref::borrow(parts.module).release();
    f->doc = doc.release();
    f->defaults = Ref::borrow(parts.defaults).release();
    f->annotations = Ref::borrow(parts.annotations).release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));
    PyObject_GC_Track(result.get());
    return result;
}

}  // namespace py
