// The classes FileLogHandler and KOVAxisController.
#pragma once

namespace qzr::classes {

// Creates the class FileLogHandler and binds it.
void create_file_log_handler();

// Creates the class KOVAxisController and binds it.
void create_controller();

}  // namespace qzr::classes
