// Windows named objects: paging-file mappings and mutexes in the session
// namespace. An object lives while some process holds a handle to it, and a
// mutex whose owning thread ends without releasing it is reported abandoned to
// the next waiter, so the kernel already gives the lifetime rules that the
// Linux implementation builds with flock and robust mutexes.
//
// Handles travel as ObjHandle; the functions that return null on failure are
// mapped to kNoHandle.
#include "../namedobjects.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

namespace vnxplat {
namespace {

constexpr DWORD kFileMapAllAccess = 0xF001F;  // FILE_MAP_ALL_ACCESS
constexpr DWORD kMutexAllAccess = 0x1F0001;   // MUTEX_ALL_ACCESS
constexpr DWORD kReadControl = 0x20000;       // READ_CONTROL

// Object names are at most 127 characters plus the terminator.
constexpr int kNameChars = 128;

// UTF-8 name to the wide form the W functions take. False (with the error in
// *err) when the name is not valid UTF-8 or does not fit.
bool wideName(const char* name, wchar_t (&out)[kNameChars], int* err) {
    if (!name) {
        if (err) *err = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, out, kNameChars) <= 0) {
        if (err) *err = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

HANDLE asHandle(ObjHandle object) { return reinterpret_cast<HANDLE>(object); }

ObjHandle fromHandle(HANDLE h, int* err) {
    if (!h) {
        if (err) *err = static_cast<int>(GetLastError());
        return kNoHandle;
    }
    return reinterpret_cast<ObjHandle>(h);
}

bool usable(ObjHandle object) { return object != kNoHandle && object != 0; }

}  // namespace

ObjHandle createMapping(const char* name, std::uint32_t size, bool* fresh, int* err) {
    if (fresh) *fresh = false;
    wchar_t wname[kNameChars];
    if (!wideName(name, wname, err)) return kNoHandle;
    HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, wname);
    // Read at once: a mapping that existed already is opened, contents kept.
    DWORD created = GetLastError();
    if (h && fresh) *fresh = created != ERROR_ALREADY_EXISTS;
    return fromHandle(h, err);
}

ObjHandle openMapping(const char* name, int* err) {
    wchar_t wname[kNameChars];
    if (!wideName(name, wname, err)) return kNoHandle;
    return fromHandle(OpenFileMappingW(kFileMapAllAccess, FALSE, wname), err);
}

void* mapView(ObjHandle mapping, std::uint32_t* mappedSize, int* err) {
    if (!usable(mapping)) {
        if (err) *err = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    void* view = MapViewOfFile(asHandle(mapping), kFileMapAllAccess, 0, 0, 0);
    if (!view) {
        if (err) *err = static_cast<int>(GetLastError());
        return nullptr;
    }
    // The view covers the whole section, rounded up to whole pages: that is
    // what may be read and written through it.
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(view, &info, sizeof info) == 0 || info.RegionSize == 0 || info.RegionSize > 0x7fffffffu) {
        DWORD e = GetLastError();
        if (err) *err = static_cast<int>(e ? e : ERROR_INVALID_PARAMETER);
        UnmapViewOfFile(view);
        return nullptr;
    }
    if (mappedSize) *mappedSize = static_cast<std::uint32_t>(info.RegionSize);
    return view;
}

bool applyLowIntegrityLabel(ObjHandle object, ObjectKind) {
    // Mappings and mutexes are both kernel objects; the kind does not matter.
    if (!usable(object)) return false;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"S:(ML;;NW;;;LW)", SDDL_REVISION_1, &sd, nullptr))
        return false;
    PACL sacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorSacl(sd, &present, &sacl, &defaulted)) {
        LocalFree(sd);
        return false;
    }
    // Only the label changes: owner, group and DACL stay as they are.
    DWORD r = SetSecurityInfo(asHandle(object), SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              sacl);
    LocalFree(sd);
    return r == ERROR_SUCCESS;
}

ObjHandle createTableMutex(const char* name, int* err) {
    wchar_t wname[kNameChars];
    if (!wideName(name, wname, err)) return kNoHandle;
    return fromHandle(CreateMutexW(nullptr, FALSE, wname), err);
}

ObjHandle openTableMutex(const char* name, int* err) {
    wchar_t wname[kNameChars];
    if (!wideName(name, wname, err)) return kNoHandle;
    return fromHandle(OpenMutexW(kMutexAllAccess, FALSE, wname), err);
}

LockResult lockTableMutex(ObjHandle mutex, int* code) {
    if (!usable(mutex)) {
        if (code) *code = static_cast<int>(WAIT_FAILED);
        return LockResult::Failed;
    }
    DWORD r = WaitForSingleObject(asHandle(mutex), kLockWaitMs);
    if (code) *code = static_cast<int>(r);
    if (r == WAIT_OBJECT_0) return LockResult::Locked;
    // The previous owner ended while holding it; we own it now.
    if (r == WAIT_ABANDONED) return LockResult::Abandoned;
    return LockResult::Failed;
}

void unlockTableMutex(ObjHandle mutex) {
    if (usable(mutex)) ReleaseMutex(asHandle(mutex));
}

bool runMutexExists(const char* name) {
    wchar_t wname[kNameChars];
    if (!wideName(name, wname, nullptr)) return false;
    HANDLE h = OpenMutexW(kReadControl, FALSE, wname);
    if (!h) return false;
    CloseHandle(h);
    return true;
}

ObjHandle runMutexCreate(const char* name) {
    wchar_t wname[kNameChars];
    if (!wideName(name, wname, nullptr)) return kNoHandle;
    return fromHandle(CreateMutexW(nullptr, FALSE, wname), nullptr);
}

void closeObject(ObjHandle object) {
    if (usable(object)) CloseHandle(asHandle(object));
}

void unmapView(void* view, std::uint32_t) {
    if (view) UnmapViewOfFile(view);
}

}  // namespace vnxplat
