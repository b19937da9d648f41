#pragma once
// The client's in-process local-server object. It is constructed on the
// first StartServer and never started: constructing it creates the three
// slot tables and their mutexes, which must exist while the client runs
// (the network-stack module claims records in them even before the first
// local server is up). Destroyed with the main window. GUI thread.
#include <QObject>

#include <memory>

std::unique_ptr<QObject> CreateInProcessServer();
