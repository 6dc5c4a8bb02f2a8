// The members of the enumerations Direction, StopSource and FindingOMethod,
// and finding a member by name or by value.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/namespace.hpp"
#include "py/name.hpp"
#include "py/ref.hpp"

namespace qzr::enums {

inline py::Name kNegative{"Negative"};
inline py::Name kPositive{"Positive"};

inline py::Name kNull{"Null"};
inline py::Name kCommand{"Command"};
inline py::Name kOrigin{"Origin"};
inline py::Name kNegativeLimit{"NegativeLimit"};
inline py::Name kPositiveLimit{"PositiveLimit"};
inline py::Name kAlarm{"Alarm"};
inline py::Name kEmergency{"Emergency"};

inline py::Name kLimitFirstThenBackward{"LimitFirstThenBackward"};
inline py::Name kOriginOnly{"OriginOnly"};

struct Member {
    const py::Name& name;
    long value;
};

// Each enumeration's members in definition order, under the module-level
// name that holds the class.
struct Enumeration {
    const py::Name& cls;
    const Member* members;
    std::size_t count;
};

inline const Member kDirectionMembers[] = {{kNegative, -1}, {kPositive, 1}};
inline const Member kStopSourceMembers[] = {
    {kNull, 0},          {kCommand, 1},       {kOrigin, 2},    {kNegativeLimit, 3},
    {kPositiveLimit, 4}, {kAlarm, 5},         {kEmergency, 6},
};
inline const Member kFindingOMethodMembers[] = {{kLimitFirstThenBackward, 0}, {kOriginOnly, 1}};

inline const Enumeration kEnumerations[] = {
    {ns::kDirection, kDirectionMembers, 2},
    {ns::kStopSource, kStopSourceMembers, 7},
    {ns::kFindingOMethod, kFindingOMethodMembers, 2},
};

// <cls>.<member> of the enumeration the module-level name `cls` holds now,
// e.g. member_named(ns::kStopSource, kOrigin).
py::Ref member_named(const py::Name& cls, const py::Name& member);

// Whether value == <cls>.<member>, compared as `value == StopSource.Origin`.
bool is_member(PyObject* value, const py::Name& cls, const py::Name& member);

// <cls>(value) for the enumeration the module-level name `cls` holds now:
// the member with that value, or the enumeration's own ValueError. Answered
// from a table of the members while the name still holds the class made at
// import (members never change); anything else is called as it is.
py::Ref member(const py::Name& cls, PyObject* value);

// Import: the class just made for `enumeration`, whose members member()
// then finds in its table.
void remember(const Enumeration& enumeration, PyObject* cls);

}  // namespace qzr::enums
