// The class KOVAxisController.
#pragma once

namespace qzr::controller {

// Creates the class with its members in definition order and binds it.
void create_class();

}  // namespace qzr::controller
