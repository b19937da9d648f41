#pragma once
// Lets the screenshot tool build the real main window without touching the
// named objects of a Veilnox that runs on the same machine: the process
// moves into a mount namespace of its own with a private /dev/shm (and, when
// not run by root, a user namespace). Call first in main, while the process
// has one thread. False when the system does not allow it.
bool EnterPrivateObjects();
