#include "launcher/working_directory.h"

#include <aclapi.h>
#include <string.h>
#include <winternl.h>
#include <ntsecapi.h>

#include "extract/entry_extraction.h"
#include "extract/file_objects.h"

namespace {

// What the run asks of its working directory's handle. Listing and traversing make the
// handle's sharing count (a handle with attribute access alone keeps nobody out); delete
// access is left out, as a started command's current directory is opened without delete
// sharing.
const ACCESS_MASK HELD_ACCESS = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                                READ_CONTROL | WRITE_DAC | SYNCHRONIZE;
// Others may read and write inside the directory; nobody may delete or rename it.
const ULONG HELD_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The temporary directory is opened only to create a name below it: it shares everything.
const DWORD PARENT_ACCESS = FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE;
const DWORD PARENT_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Full control over the directory, handed down to every file and directory made in it.
const ACCESS_MASK PRIVATE_ACCESS = FILE_ALL_ACCESS;
const DWORD PRIVATE_INHERITANCE = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
// The largest TOKEN_USER record: the header and the largest SID.
const DWORD TOKEN_USER_SIZE = sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE;
const NTSTATUS STATUS_NAME_COLLISION = static_cast<NTSTATUS>(0xC0000035);

bool wellKnownSid(WELL_KNOWN_SID_TYPE type, DWORD* sid) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    return CreateWellKnownSid(type, NULL, sid, &size) != FALSE;
}

// A fresh name: the prefix and the hex digits of bytes from the system's generator.
bool drawWorkingName(char name[WORKING_NAME_LENGTH + 1]) {
    static const char digits[] = "0123456789ABCDEF";
    unsigned char random[WORKING_NAME_RANDOM_BYTES];
    SetLastError(ERROR_SUCCESS);
    if (!RtlGenRandom(random, sizeof(random))) return false;
    size_t at = sizeof(WORKING_DIRECTORY_PREFIX) - 1;
    memcpy(name, WORKING_DIRECTORY_PREFIX, at);
    for (size_t i = 0; i < WORKING_NAME_RANDOM_BYTES; ++i) {
        name[at++] = digits[random[i] >> 4];
        name[at++] = digits[random[i] & 15];
    }
    name[at] = '\0';
    return true;
}

}  // namespace

bool tokenUserSid(DWORD* sid) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD record[TOKEN_USER_SIZE / sizeof(DWORD) + 1];
    DWORD length = 0;
    bool found = GetTokenInformation(token, TokenUser, record, sizeof(record), &length) &&
                 CopySid(SECURITY_MAX_SID_SIZE, sid, reinterpret_cast<TOKEN_USER*>(record)->User.Sid);
    DWORD error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    return found;
}

bool processHasAdministrators() {
    DWORD administrators[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    BOOL member = FALSE;
    return wellKnownSid(WinBuiltinAdministratorsSid, administrators) &&
           CheckTokenMembership(NULL, administrators, &member) && member;
}

bool buildPrivateSecurity(bool administrators, PrivateSecurity* security) {
    memset(security, 0, sizeof(*security));
    if (!wellKnownSid(WinLocalSystemSid, security->system)) return false;
    bool principal = administrators ? wellKnownSid(WinBuiltinAdministratorsSid, security->principal)
                                    : tokenUserSid(security->principal);
    if (!principal) return false;
    ACL* acl = reinterpret_cast<ACL*>(security->acl);
    return InitializeAcl(acl, sizeof(security->acl), ACL_REVISION) &&
           AddAccessAllowedAceEx(acl, ACL_REVISION, PRIVATE_INHERITANCE, PRIVATE_ACCESS, security->system) &&
           AddAccessAllowedAceEx(acl, ACL_REVISION, PRIVATE_INHERITANCE, PRIVATE_ACCESS, security->principal) &&
           InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorOwner(&security->descriptor, security->principal, FALSE) &&
           SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE) &&
           SetSecurityDescriptorControl(&security->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

bool createPrivateDirectory(HANDLE parent, const char* name, PrivateSecurity* security,
                            HANDLE* directory) {
    // The directory is made and opened in one step, relative to the held parent: there is
    // no moment at which another process could put something else in its place.
    WCHAR wide[WORKING_NAME_LENGTH + 1];
    size_t length = strlen(name);
    if (length > WORKING_NAME_LENGTH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    for (size_t i = 0; i <= length; ++i) wide[i] = static_cast<unsigned char>(name[i]);
    UNICODE_STRING objectName;
    objectName.Buffer = wide;
    objectName.Length = static_cast<USHORT>(length * sizeof(WCHAR));
    objectName.MaximumLength = static_cast<USHORT>((length + 1) * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, parent,
                               &security->descriptor);
    IO_STATUS_BLOCK status;
    NTSTATUS created = NtCreateFile(directory, HELD_ACCESS, &attributes, &status, NULL,
                                    FILE_ATTRIBUTE_NORMAL, HELD_SHARING, FILE_CREATE,
                                    FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (created >= 0) return true;
    *directory = INVALID_HANDLE_VALUE;
    SetLastError(created == STATUS_NAME_COLLISION ? ERROR_ALREADY_EXISTS : RtlNtStatusToDosError(created));
    return false;
}

bool finalDirectoryPath(HANDLE directory, WCHAR* path) {
    WCHAR final[WIDE_PATH_SIZE];
    DWORD length = GetFinalPathNameByHandleW(directory, final, WIDE_PATH_SIZE, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= WIDE_PATH_SIZE) return false;
    const WCHAR* from = final;
    size_t skip = 0;
    bool unc = false;
    if (wcsncmp(final, L"\\\\?\\UNC\\", 8) == 0) {
        skip = 7;  // keep one separator, then put the other back
        unc = true;
    } else if (wcsncmp(final, L"\\\\?\\", 4) == 0) {
        skip = 4;
    }
    size_t rest = length - skip;
    size_t total = rest + (unc ? 1 : 0);
    if (total > WORK_DIR_PATH_LIMIT) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (unc) path[0] = L'\\';
    memcpy(path + (unc ? 1 : 0), from + skip, rest * sizeof(WCHAR));
    path[total] = L'\0';
    return true;
}

WorkingDirectoryStatus createWorkingDirectory(const WCHAR* tempPath, bool administrators,
                                              WorkingDirectory* work) {
    memset(work, 0, sizeof(*work));
    work->handle = INVALID_HANDLE_VALUE;
    work->parent = INVALID_HANDLE_VALUE;
    size_t tempLength = wcslen(tempPath);
    bool separated = tempLength > 0 && (tempPath[tempLength - 1] == L'\\' || tempPath[tempLength - 1] == L'/');
    size_t pathLength = tempLength + (separated ? 0 : 1) + WORKING_NAME_LENGTH;
    if (pathLength > WORK_DIR_PATH_LIMIT) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return WORKING_DIRECTORY_NO_NAME;
    }
    // An elevated run takes no temporary directory on a share, a device or a removable disk:
    // whoever controls those controls what the run extracts and starts.
    if (administrators && !isLocalFixedPath(tempPath)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return WORKING_DIRECTORY_NO_NAME;
    }
    PrivateSecurity security;
    if (!buildPrivateSecurity(administrators, &security)) return WORKING_DIRECTORY_NOT_CREATED;
    HANDLE parent = CreateFileW(tempPath, PARENT_ACCESS, PARENT_SHARING, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (parent == INVALID_HANDLE_VALUE) return WORKING_DIRECTORY_NO_NAME;

    char name[WORKING_NAME_LENGTH + 1];
    HANDLE directory = INVALID_HANDLE_VALUE;
    WorkingDirectoryStatus result = WORKING_DIRECTORY_NOT_CREATED;
    for (int attempt = 0; attempt < WORKING_NAME_ATTEMPTS; ++attempt) {
        if (!drawWorkingName(name)) {
            result = WORKING_DIRECTORY_NO_NAME;
            break;
        }
        if (createPrivateDirectory(parent, name, &security, &directory)) {
            result = WORKING_DIRECTORY_CREATED;
            break;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    DWORD error = GetLastError();
    if (result != WORKING_DIRECTORY_CREATED) {
        CloseHandle(parent);
        SetLastError(error);
        return result;
    }

    BY_HANDLE_FILE_INFORMATION information;
    bool plain = GetFileInformationByHandle(directory, &information) &&
                 (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                 (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (!plain) error = ERROR_DIRECTORY;
    // The path it is known by from now on is the one the held handle has: a link on the way
    // that is retargeted later changes nothing.
    bool named = plain && finalDirectoryPath(directory, work->path);
    if (plain && !named) error = GetLastError();
    for (size_t i = 0; i <= WORKING_NAME_LENGTH; ++i) work->name[i] = static_cast<unsigned char>(name[i]);
    if (!named) {
        // Made by this run and empty: it goes again, reopened by name below the held parent
        // and removed only while it is the directory made.
        CloseHandle(directory);
        HANDLE made = openBelow(parent, work->name, WORKING_NAME_LENGTH, DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, BELOW_OPEN, false);
        BY_HANDLE_FILE_INFORMATION now;
        if (made != INVALID_HANDLE_VALUE) {
            if (plain && GetFileInformationByHandle(made, &now) && now.nFileIndexLow == information.nFileIndexLow &&
                now.nFileIndexHigh == information.nFileIndexHigh &&
                now.dwVolumeSerialNumber == information.dwVolumeSerialNumber) {
                deleteByHandle(made);
            }
            CloseHandle(made);
        }
        CloseHandle(parent);
        memset(work->name, 0, sizeof(work->name));
        SetLastError(error);
        return plain ? WORKING_DIRECTORY_NO_NAME : WORKING_DIRECTORY_NOT_CREATED;
    }
    work->handle = directory;
    work->parent = parent;
    work->identity.volumeSerial = information.dwVolumeSerialNumber;
    work->identity.indexHigh = information.nFileIndexHigh;
    work->identity.indexLow = information.nFileIndexLow;
    return WORKING_DIRECTORY_CREATED;
}

void releaseWorkingDirectory(WorkingDirectory* work) {
    if (work->handle != INVALID_HANDLE_VALUE) CloseHandle(work->handle);
    work->handle = INVALID_HANDLE_VALUE;
}

void releaseTemporaryDirectory(WorkingDirectory* work) {
    releaseWorkingDirectory(work);
    if (work->parent != INVALID_HANDLE_VALUE) CloseHandle(work->parent);
    work->parent = INVALID_HANDLE_VALUE;
}

bool shareWithUser(const WorkingDirectory* work) {
    // SYSTEM, Administrators and the user, each with full control handed down.
    DWORD sids[3][SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    DWORD acl[(sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)) / sizeof(DWORD)];
    if (work->handle == INVALID_HANDLE_VALUE || !wellKnownSid(WinLocalSystemSid, sids[0]) ||
        !wellKnownSid(WinBuiltinAdministratorsSid, sids[1]) || !tokenUserSid(sids[2]) ||
        !InitializeAcl(reinterpret_cast<ACL*>(acl), sizeof(acl), ACL_REVISION)) {
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        if (!AddAccessAllowedAceEx(reinterpret_cast<ACL*>(acl), ACL_REVISION, PRIVATE_INHERITANCE, PRIVATE_ACCESS,
                                   sids[i])) {
            return false;
        }
    }
    // Through the held handle, never by path; the new list is passed on to everything below.
    return SetSecurityInfo(work->handle, SE_FILE_OBJECT,
                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, NULL, NULL,
                           reinterpret_cast<ACL*>(acl), NULL) == ERROR_SUCCESS;
}
