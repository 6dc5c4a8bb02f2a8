// Declarative descriptions of classes and their methods, turned into real
// classes at import through the interpreter's own class machinery. The
// methods are declared next to their bodies (see tools/gen-methods), which
// turns each declaration into a MethodSpec.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "py/args.hpp"
#include "py/function.hpp"
#include "py/name.hpp"
#include "py/ref.hpp"

namespace qzr {

// An annotation, evaluated when the class is created. It only documents:
// how an argument is converted follows from the body's parameter type.
enum class Ann {
    Unset,
    Int,
    Float,
    Bool,
    Str,
    OptionalFloat,  // _Optional[float]
    OptionalList,   // _Optional[list]
    UnionIntFloat,  // _Union[int, float]
    Direction,
    FindingOMethod,
    StopSource,
    LogRecord,      // _LogRecord
    NoneValue,      // the None of "-> None"
};

// A default value, evaluated once when the class is created.
struct Default {
    enum class Kind { Required, None, Int, Float, Bool, Global, Member };
    Kind kind = Kind::Required;
    long long integer = 0;
    double real = 0.0;
    const py::Name* name = nullptr;  // Global: the module-level name; Member: the class
    const char* attribute = nullptr;  // Member: the member's name

    static Default none() { return {Kind::None}; }
    static Default of(int value) { return {Kind::Int, value}; }
    static Default of(double value) { return {Kind::Float, 0, value}; }
    static Default of(bool value) { return {Kind::Bool, value}; }
    // The value a module-level name holds when the class is created.
    static Default global(const py::Name& name) { return {Kind::Global, 0, 0.0, &name}; }
    // A class attribute of a module-level class, e.g. Direction.Negative.
    static Default member_of(const py::Name& cls, const char* attr) {
        return {Kind::Member, 0, 0.0, &cls, attr};
    }
};

struct ParamSpec {
    const char* name;
    Ann ann = Ann::Unset;
    Default def = {};
};

// A method: `self` is implied before the parameters. A name with two leading
// underscores is class-private and stored under the mangled name.
struct MethodSpec {
    const char* name;
    py::Body body;
    std::vector<ParamSpec> params;
    std::vector<py::Conv> conversions;  // self included
    Ann returns = Ann::Unset;
    const char* doc = nullptr;
};

// The MethodSpec of a method whose body is F, a function with typed parameters
// (self first); each parameter's type gives its conversion on entry.
template <auto F, std::size_t N>
MethodSpec declare(const char* name, const ParamSpec (&params)[N], Ann returns, const char* doc) {
    using Sig = py::Signature<decltype(F)>;
    static_assert(Sig::arity == N + 1, "the body's parameters are not the declared ones");
    return {name, py::body<F>, {params, params + N},
            {Sig::conversions, Sig::conversions + Sig::arity}, returns, doc};
}

// The same for a method without parameters besides self.
template <auto F>
MethodSpec declare(const char* name, Ann returns, const char* doc) {
    using Sig = py::Signature<decltype(F)>;
    static_assert(Sig::arity == 1, "the body's parameters are not the declared ones");
    return {name, py::body<F>, {}, {Sig::conversions, Sig::conversions + 1}, returns, doc};
}

// A member of a class body: a method, or a property made of a getter and an
// optional setter.
struct MemberSpec {
    const MethodSpec* method;
    const MethodSpec* setter = nullptr;
    bool property = false;

    static MemberSpec plain(const MethodSpec& m) { return {&m}; }
    // A read-only property.
    static MemberSpec property_of(const MethodSpec& getter) { return {&getter, nullptr, true}; }
    static MemberSpec property_of(const MethodSpec& getter, const MethodSpec& setter) {
        return {&getter, &setter, true};
    }
};

// Creates a function object for a method of the class `owner`.
py::Ref make_method(const MethodSpec& method, const char* owner);

// A fresh class namespace with __module__ and __qualname__ set, to be filled
// through PyObject_SetItem (the enumeration namespace is a dict subclass).
void begin_namespace(PyObject* ns, const char* class_name);

// Adds the members to a class namespace, in order.
void add_members(PyObject* ns, const char* class_name, const std::vector<MemberSpec>& members);

// Creates a class through its metaclass: metaclass(name, bases, ns).
py::Ref create_class(PyObject* metaclass, const char* name, PyObject* bases, PyObject* ns);

}  // namespace qzr
