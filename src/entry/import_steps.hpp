// What importing the module does, step by step.
#pragma once

namespace qzr {

// Runs the import sequence on the module namespace set in ns::dict().
void run_import_steps();

}  // namespace qzr
