// veilnox: the desktop client.
#include "clientapp.h"

int main(int argc, char** argv) { return RunClient(argc, argv); }
