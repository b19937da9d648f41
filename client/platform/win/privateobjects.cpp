#include "privateobjects.h"

// Windows has no per-process object namespace to move into: the shots that
// need one are skipped.
bool EnterPrivateObjects() { return false; }
