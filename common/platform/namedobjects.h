#pragma once
// Named kernel objects shared between the client, the local server and the
// network-stack module: mappings, slot-table mutexes and run mutexes.
//
// Windows: file mappings and mutexes in the session namespace.
// Linux: POSIX shared-memory objects /dev/shm/<name>.<uid>, mode 0600, whose
// lifetime follows their holders: every process that creates or opens one
// keeps a shared flock on it, and an object that nobody holds is treated as
// missing (open fails) or replaced by a fresh zero-filled one (create).
//
// Every call here is safe to use from any thread. None of them allocates on
// the heap, so the module can call them inside arbitrary programs.
#include <cstdint>

namespace vnxplat {

// The longest any call here waits for a lock held by another process; the
// call fails after that.
constexpr unsigned kLockWaitMs = 2000;

// Handle of a named object; kNoHandle when absent.
using ObjHandle = std::intptr_t;
constexpr ObjHandle kNoHandle = -1;

// Creates the mapping, or opens it when it exists and is held by a live
// process (contents kept). *fresh is set when the memory is new (zero).
// Returns kNoHandle on failure with the system error in *err.
ObjHandle createMapping(const char* name, std::uint32_t size, bool* fresh, int* err);
// Opens an existing, held mapping. kNoHandle (no message) when missing.
ObjHandle openMapping(const char* name, int* err);
// Maps the whole object read-write; *mappedSize gets its size. Null on
// failure with *err set.
void* mapView(ObjHandle mapping, std::uint32_t* mappedSize, int* err);

// Sets the low-integrity label on an object (Windows); nothing to do on Linux,
// where objects are private to the user.
enum class ObjectKind { Mapping, Mutex };
bool applyLowIntegrityLabel(ObjHandle object, ObjectKind kind);

// Cross-process mutex of a slot table.
ObjHandle createTableMutex(const char* name, int* err);
ObjHandle openTableMutex(const char* name, int* err);
enum class LockResult { Locked, Abandoned, Failed };
// Waits at most kLockWaitMs (Failed after that). Abandoned: the previous
// owner died while holding it; the caller now owns it (and must release it).
// *code gets the wait result.
LockResult lockTableMutex(ObjHandle mutex, int* code);
void unlockTableMutex(ObjHandle mutex);

// Run mutex: marks a running instance for as long as the process lives.
bool runMutexExists(const char* name);
ObjHandle runMutexCreate(const char* name);

// Releases a mapping or run-mutex handle (tests; the programs keep their
// objects for the whole process life). Table-mutex handles are never closed.
void closeObject(ObjHandle object);
void unmapView(void* view, std::uint32_t size);

}  // namespace vnxplat
