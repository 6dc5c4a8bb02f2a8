// The enumerations Direction, StopSource and FindingOMethod.
#pragma once

namespace qzr::enums {

// Creates the three enumerations and binds them, in this order.
void create();

}  // namespace qzr::enums
