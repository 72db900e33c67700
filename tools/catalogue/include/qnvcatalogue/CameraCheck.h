// CameraCheck: whether a catalogue knows a camera a person named, so that a
// misspelt name is answered as such (with the names it does know) rather
// than as a camera with nothing recorded. Plain function; any thread that
// may use the catalogue.
#pragma once

#include <string>

#include "qnvcatalogue/ICatalogue.h"

namespace qnvcat {

// True when the catalogue holds the camera (on any recorder). Else false
// with error "unknown camera NAME (known: a, b, c)", or the catalogue's own
// error when it could not be read (failed tells which).
bool CheckCamera(ICatalogue& catalogue, const std::string& camera, std::string& error,
                 bool& failed);

}  // namespace qnvcat
