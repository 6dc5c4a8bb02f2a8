#include "core/class_builder.hpp"

#include <string>

#include "core/namespace.hpp"
#include "py/call.hpp"

namespace qzr {
namespace {

py::Name kDunderModule{"__module__"};
py::Name kDunderQualname{"__qualname__"};
py::Name kReturn{"return"};

py::Ref builtin_type(PyTypeObject* type) { return py::Ref::borrow(reinterpret_cast<PyObject*>(type)); }

// typing_form[argument], e.g. _Optional[float].
py::Ref subscript(const py::Name& typing_form, PyObject* argument) {
    py::Ref form = ns::global(typing_form);
    return py::check(PyObject_GetItem(form.get(), argument));
}

py::Ref resolve(Ann ann) {
    switch (ann) {
        case Ann::Int: return builtin_type(&PyLong_Type);
        case Ann::Float: return builtin_type(&PyFloat_Type);
        case Ann::Bool: return builtin_type(&PyBool_Type);
        case Ann::Str: return builtin_type(&PyUnicode_Type);
        case Ann::OptionalFloat: return subscript(ns::kOptional, reinterpret_cast<PyObject*>(&PyFloat_Type));
        case Ann::OptionalList: return subscript(ns::kOptional, reinterpret_cast<PyObject*>(&PyList_Type));
        case Ann::UnionIntFloat: {
            py::Ref both = py::tuple(reinterpret_cast<PyObject*>(&PyLong_Type),
                                     reinterpret_cast<PyObject*>(&PyFloat_Type));
            return subscript(ns::kUnion, both.get());
        }
        case Ann::Direction: return ns::global(ns::kDirection);
        case Ann::FindingOMethod: return ns::global(ns::kFindingOMethod);
        case Ann::StopSource: return ns::global(ns::kStopSource);
        case Ann::LogRecord: return ns::global(ns::kLogRecord);
        case Ann::NoneValue: return py::none();
        case Ann::Unset: break;
    }
    return {};
}

py::Ref resolve(const Default& def) {
    switch (def.kind) {
        case Default::Kind::None: return py::none();
        case Default::Kind::Int: return py::check(PyLong_FromLongLong(def.integer));
        case Default::Kind::Float: return py::check(PyFloat_FromDouble(def.real));
        case Default::Kind::Bool: return py::boolean(def.integer != 0);
        case Default::Kind::Global: return ns::global(*def.name);
        case Default::Kind::Member: {
            py::Ref cls = ns::global(*def.name);
            return py::check(PyObject_GetAttrString(cls.get(), def.attribute));
        }
        case Default::Kind::Required: break;
    }
    return {};
}

}  // namespace

py::Ref make_method(const MethodSpec& method, const char* owner) {
    std::vector<py::Param> params{{"self", method.conversions[0]}};
    py::Ref annotations = py::check(PyDict_New());
    py::Ref defaults;
    std::vector<py::Ref> default_values;
    for (std::size_t i = 0; i < method.params.size(); ++i) {
        const ParamSpec& p = method.params[i];
        params.push_back({p.name, method.conversions[i + 1]});
        if (p.ann != Ann::Unset) {
            py::Ref value = resolve(p.ann);
            py::require(PyDict_SetItemString(annotations.get(), p.name, value.get()) == 0);
        }
        if (p.def.kind != Default::Kind::Required) default_values.push_back(resolve(p.def));
    }
    if (method.returns != Ann::Unset) {
        py::Ref value = resolve(method.returns);
        py::require(PyDict_SetItem(annotations.get(), kReturn.get(), value.get()) == 0);
    }
    if (!default_values.empty()) {
        defaults = py::check(PyTuple_New(static_cast<Py_ssize_t>(default_values.size())));
        for (size_t i = 0; i < default_values.size(); ++i) {
            PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i), default_values[i].release());
        }
    }
    std::string qualname = std::string(owner) + "." + method.name;
    return py::make_function({method.name, qualname.c_str(), method.doc, params, method.body,
                              ns::kModuleName.get(), defaults.get(), annotations.get()});
}

void begin_namespace(PyObject* ns, const char* class_name) {
    py::Ref qualname = py::check(PyUnicode_FromString(class_name));
    py::require(PyObject_SetItem(ns, kDunderModule.get(), ns::kModuleName.get()) == 0);
    py::require(PyObject_SetItem(ns, kDunderQualname.get(), qualname.get()) == 0);
}

void add_members(PyObject* ns, const char* class_name, const std::vector<MemberSpec>& members) {
    for (const MemberSpec& member : members) {
        py::Ref value = make_method(*member.method, class_name);
        if (member.property) {
            py::Ref setter = member.setter ? make_method(*member.setter, class_name) : py::none();
            value = py::call(reinterpret_cast<PyObject*>(&PyProperty_Type), value, setter);
        }
        py::Ref key = py::check(
            PyUnicode_InternFromString(py::mangle(class_name, member.method->name).c_str()));
        py::require(PyObject_SetItem(ns, key.get(), value.get()) == 0);
    }
}

py::Ref create_class(PyObject* metaclass, const char* name, PyObject* bases, PyObject* ns) {
    py::Ref class_name = py::check(PyUnicode_FromString(name));
    return py::call(metaclass, class_name, bases, ns);
}

}  // namespace qzr
