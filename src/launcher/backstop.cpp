#include "launcher/backstop.h"

#include <sddl.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "extract/file_objects.h"
#include "package/run_options.h"

extern "C" LONG NTAPI NtAreMappedFilesTheSame(PVOID image, PVOID view);

namespace {

// The 64-bit view on 64-bit Windows, where the logon reads RunOnce; ignored elsewhere.
const REGSAM REGISTRY_VIEW = KEY_WOW64_64KEY;
const size_t BACKSTOP_ARGUMENT_LENGTH = sizeof(BACKSTOP_ARGUMENT) - 1;
// The records' key: SET_ASIDE_KEY, a separator and the directory's name.
const size_t RECORDS_KEY_SIZE = sizeof(SET_ASIDE_KEY) + 1 + WORKING_NAME_LENGTH;
// The longest SID as text: "S-1-", the authority and 15 sub-authorities of 10 digits each.
const size_t SID_TEXT_SIZE = 192;
// A value's data: two quoted paths, the argument, a SID and the blanks between them.
const size_t COMMAND_SIZE = 2 * (MAX_PATH + 3) + BACKSTOP_ARGUMENT_LENGTH + 3 + SID_TEXT_SIZE;
// Room for a record's value name: the decimal digits of a 32-bit index.
const size_t INDEX_NAME_SIZE = 11;

// The backstop whose records are being written; null while none is.
Backstop* recording = NULL;

HKEY hiveFor(bool administrators) {
    return administrators ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

void recordsKeyName(const char* name, char* key) {
    wsprintfA(key, SET_ASIDE_KEY "\\%s", name);
}

void indexName(uint32_t index, char* name) {
    wsprintfA(name, "%u", index);
}

// Copies `text` into an array of DEST_PATH_SIZE; false when it does not fit.
bool copyPath(const WCHAR* text, WCHAR* array) {
    size_t length = wcslen(text);
    if (length >= DEST_PATH_SIZE) return false;
    memcpy(array, text, (length + 1) * sizeof(WCHAR));
    return true;
}

// The journal's observer: writes the entries the backstop would need to give the user's
// objects back. An entry that cannot be written is not written; the run goes on.
void recordEntry(const JournalNode* entry) {
    Backstop* backstop = recording;
    // Only full paths: what lies below the working directory goes with its tree.
    if (backstop == NULL || !isFullPath(entry->path)) return;
    // The package's file at a path whose user's object waits right below it in the journal:
    // the backstop removes it to make room, exactly as the drain would.
    bool replacing = replacesSetAside(entry);
    if (entry->kind != JOURNAL_SET_ASIDE && !replacing) return;
    SetAsideRecord record;
    memset(&record, 0, sizeof(record));
    record.kind = entry->kind;
    record.attributes = entry->attributes;
    record.identity = entry->identity;
    if (!copyPath(entry->path, record.path)) return;
    if (entry->asidePath != NULL && !copyPath(entry->asidePath, record.asidePath)) return;

    char key[RECORDS_KEY_SIZE];
    recordsKeyName(backstop->name, key);
    HKEY records = NULL;
    if (RegCreateKeyExA(backstop->hive, key, 0, NULL, 0, KEY_SET_VALUE | REGISTRY_VIEW, NULL, &records,
                        NULL) != ERROR_SUCCESS) {
        return;
    }
    char value[INDEX_NAME_SIZE];
    indexName(backstop->recordCount, value);
    if (RegSetValueExA(records, value, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&record),
                       sizeof(record)) == ERROR_SUCCESS) {
        ++backstop->recordCount;
    }
    RegCloseKey(records);
}

// Deletes the records of directory `name`, and the keys above them when they are empty.
void deleteRecords(HKEY hive, const char* name) {
    char key[RECORDS_KEY_SIZE];
    recordsKeyName(name, key);
    RegDeleteKeyExA(hive, key, REGISTRY_VIEW, 0);
    RegDeleteKeyExA(hive, SET_ASIDE_KEY, REGISTRY_VIEW, 0);
    RegDeleteKeyExA(hive, RUNPACK_KEY, REGISTRY_VIEW, 0);
}

void deleteValue(HKEY hive, const char* name) {
    HKEY runOnce = NULL;
    if (RegOpenKeyExA(hive, RUN_ONCE_KEY, 0, KEY_SET_VALUE | REGISTRY_VIEW, &runOnce) != ERROR_SUCCESS) return;
    RegDeleteValueA(runOnce, name);
    RegCloseKey(runOnce);
}

// Reads the records of directory `name` into `journal`, oldest first, up to the first
// missing or malformed one.
void readRecords(HKEY hive, const char* name, CleanupJournal* journal) {
    char key[RECORDS_KEY_SIZE];
    recordsKeyName(name, key);
    HKEY records = NULL;
    if (RegOpenKeyExA(hive, key, 0, KEY_QUERY_VALUE | REGISTRY_VIEW, &records) != ERROR_SUCCESS) return;
    SetAsideRecord record;
    for (uint32_t index = 0; index < SET_ASIDE_RECORD_LIMIT; ++index) {
        char value[INDEX_NAME_SIZE];
        indexName(index, value);
        DWORD type = 0;
        DWORD size = sizeof(record);
        if (RegQueryValueExA(records, value, NULL, &type, reinterpret_cast<BYTE*>(&record), &size) != ERROR_SUCCESS ||
            type != REG_BINARY || size != sizeof(record) ||
            wmemchr(record.path, L'\0', DEST_PATH_SIZE) == NULL ||
            wmemchr(record.asidePath, L'\0', DEST_PATH_SIZE) == NULL || !isFullPath(record.path)) {
            break;
        }
        bool pushed = false;
        if (record.kind == JOURNAL_SET_ASIDE) {
            pushed = journalPushSetAside(record.path, record.asidePath, &record.identity, record.attributes, journal);
        } else if (record.kind == JOURNAL_CREATED) {
            pushed = journalPushCreated(record.path, &record.identity, journal);
        }
        if (!pushed) break;
    }
    RegCloseKey(records);
}

bool isHexDigit(WCHAR c) { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'); }

// Whether `name` begins with a working directory's name: the prefix and the hex digits.
bool isWorkingName(const WCHAR* name) {
    for (size_t i = 0; i < WORKING_NAME_LENGTH; ++i) {
        bool fits = i < sizeof(WORKING_DIRECTORY_PREFIX) - 1 ? name[i] == WORKING_DIRECTORY_PREFIX[i]
                                                              : isHexDigit(name[i]);
        if (!fits) return false;
    }
    return true;
}

// The directory that a backstop call names, checked as text: a drive's full path, in plain
// names (no empty, "." or ".." part, nothing that a path cannot hold), that ends in a working
// directory's name.
bool isWorkingDirectoryForm(const WCHAR* path, size_t length) {
    if (length < 3 + WORKING_NAME_LENGTH || length > WORK_DIR_PATH_LIMIT || path[1] != L':' ||
        path[length - WORKING_NAME_LENGTH - 1] != L'\\' || !isWorkingName(path + length - WORKING_NAME_LENGTH)) {
        return false;
    }
    WCHAR letter = path[0] | 0x20;
    if (letter < L'a' || letter > L'z') return false;
    size_t dots = 0, partLength = 0;
    for (size_t i = 2; i < length; ++i) {
        WCHAR c = path[i];
        if (c < 32 || wcschr(L"/:*?<>|", c) != NULL) return false;
        if (c == L'\\') {
            if (i > 2 && (partLength == 0 || dots == partLength)) return false;
            dots = partLength = 0;
        } else {
            ++partLength;
            if (c == L'.') ++dots;
        }
    }
    return true;
}

enum DirectoryState { DIRECTORY_PLAIN, DIRECTORY_MISSING, DIRECTORY_OTHER };

// Whether `path` names a plain directory (its identity in `identity`), nothing, or anything
// else: a link, a junction, a file, something that cannot be opened.
DirectoryState inspectDirectory(const WCHAR* wide, FileIdentity* identity) {
    HANDLE object = openObject(wide, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (object == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? DIRECTORY_MISSING : DIRECTORY_OTHER;
    }
    ObjectFacts facts;
    bool plain = readObject(object, &facts) && isPlainDirectory(&facts) && !handleFollowedLink(wide, &facts);
    CloseHandle(object);
    if (!plain) return DIRECTORY_OTHER;
    *identity = facts.identity;
    return DIRECTORY_PLAIN;
}

// The text of the SID of the process's user into `text` (SID_TEXT_SIZE characters).
bool userSidText(WCHAR* text) {
    DWORD sid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    WCHAR* converted = NULL;
    if (!tokenUserSid(sid) || !ConvertSidToStringSidW(sid, &converted)) return false;
    bool fits = wcslen(converted) < SID_TEXT_SIZE;
    if (fits) wcscpy(text, converted);
    LocalFree(converted);
    return fits;
}

// Whether `text` is a SID exactly as the system writes one: no alias, no other spelling.
bool isSidText(const WCHAR* text) {
    PSID sid = NULL;
    WCHAR* written = NULL;
    bool same = ConvertStringSidToSidW(text, &sid) && ConvertSidToStringSidW(sid, &written) &&
                wcscmp(written, text) == 0;
    LocalFree(sid);
    LocalFree(written);
    return same;
}

// The Windows directory's Temp, with a final separator: the system's own, never a user's
// setting (GetWindowsDirectory may be a terminal user's private one).
bool removerParent(WCHAR* path) {
    UINT length = GetSystemWindowsDirectoryW(path, MAX_PATH);
    if (length == 0 || length > MAX_PATH - 6) return false;
    if (path[length - 1] != L'\\') path[length++] = L'\\';
    memcpy(path + length, L"Temp\\", 6 * sizeof(WCHAR));
    return true;
}

bool writeRange(HANDLE file, const BYTE* bytes, DWORD size) {
    DWORD written = 0;
    return size == 0 || (WriteFile(file, bytes, size, &written, NULL) && written == size);
}

// Writes the PE image `image` (`size` bytes of a file) to `out` without the raw data of its
// resource section, which the loader then maps as zeros, and without a signature; the
// section table, the data directories and the checksum are changed to match. False when the
// headers are not those of this build's kind of image or a range lies outside the file.
bool writeWithoutResources(const BYTE* image, DWORD size, HANDLE out) {
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    if (size < sizeof(IMAGE_DOS_HEADER) || dos->e_magic != IMAGE_DOS_SIGNATURE ||
        static_cast<DWORD>(dos->e_lfanew) > size - sizeof(IMAGE_NT_HEADERS)) {
        return false;
    }
    DWORD ntAt = static_cast<DWORD>(dos->e_lfanew);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + ntAt);
    DWORD headersSize = nt->OptionalHeader.SizeOfHeaders;
    DWORD sectionsAt = ntAt + offsetof(IMAGE_NT_HEADERS, OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader;
    DWORD count = nt->FileHeader.NumberOfSections;
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC ||
        headersSize > size || sectionsAt + count * sizeof(IMAGE_SECTION_HEADER) > headersSize) {
        return false;
    }
    BYTE* headers = static_cast<BYTE*>(malloc(headersSize));
    if (headers == NULL) return false;
    memcpy(headers, image, headersSize);
    IMAGE_NT_HEADERS* copy = reinterpret_cast<IMAGE_NT_HEADERS*>(headers + ntAt);
    IMAGE_DATA_DIRECTORY* directories = copy->OptionalHeader.DataDirectory;
    DWORD resources = directories[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress;
    memset(&directories[IMAGE_DIRECTORY_ENTRY_RESOURCE], 0, sizeof(IMAGE_DATA_DIRECTORY));
    memset(&directories[IMAGE_DIRECTORY_ENTRY_SECURITY], 0, sizeof(IMAGE_DATA_DIRECTORY));
    copy->OptionalHeader.CheckSum = 0;
    IMAGE_SECTION_HEADER* sections = reinterpret_cast<IMAGE_SECTION_HEADER*>(headers + sectionsAt);
    DWORD end = headersSize, cutAt = 0, cutSize = 0;
    bool valid = resources == 0;
    for (DWORD i = 0; i < count; ++i) {
        DWORD at = sections[i].PointerToRawData, raw = sections[i].SizeOfRawData;
        if (raw == 0) continue;
        if (at < headersSize || at > size || raw > size - at) valid = false;
        if (at + raw > end) end = at + raw;
        if (resources != 0 && sections[i].VirtualAddress == resources) {
            cutAt = at;
            cutSize = raw;
            sections[i].PointerToRawData = 0;
            sections[i].SizeOfRawData = 0;
            valid = true;
        }
    }
    if (cutSize == 0) cutAt = end;
    for (DWORD i = 0; i < count; ++i) {
        if (sections[i].PointerToRawData > cutAt) sections[i].PointerToRawData -= cutSize;
    }
    bool written = valid && end <= size && writeRange(out, headers, headersSize) &&
                   writeRange(out, image + headersSize, cutAt - headersSize) &&
                   writeRange(out, image + cutAt + cutSize, end - cutAt - cutSize);
    free(headers);
    return written;
}

// Whether this process is a remover: an image without resources, so never one that carries
// a package, started as REMOVER_NAME from a working directory's name below the Windows
// directory's Temp. `self` receives its path.
bool runsAsRemover(WCHAR* self) {
    const BYTE* image = reinterpret_cast<const BYTE*>(GetModuleHandleW(NULL));
    const IMAGE_NT_HEADERS* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
    if (nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress != 0) return false;
    WCHAR parent[MAX_PATH + 1];
    DWORD length = GetModuleFileNameW(NULL, self, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH || !removerParent(parent)) return false;
    int parentLength = lstrlenW(parent);
    const WCHAR* directory = self + parentLength;
    const int nameLength = sizeof(REMOVER_NAME) - 1;
    return length == parentLength + WORKING_NAME_LENGTH + 1 + nameLength &&
           CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, self, parentLength, parent, parentLength) == CSTR_EQUAL &&
           isWorkingName(directory) && directory[WORKING_NAME_LENGTH] == L'\\' &&
           CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, directory + WORKING_NAME_LENGTH + 1, nameLength,
                          L"" REMOVER_NAME, nameLength) == CSTR_EQUAL;
}

// Puts the value of another user's run back in HKEY_LOCAL_MACHINE's RunOnce for that user's
// next logon, composed from what was checked: this remover's own path, the working
// directory's path and the SID. A value of that name that is there stays as it is.
void restoreValue(const WCHAR* self, const WCHAR* directory, const WCHAR* sid) {
    HKEY runOnce = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_ONCE_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | REGISTRY_VIEW,
                      &runOnce) != ERROR_SUCCESS) {
        return;
    }
    const WCHAR* name = directory + wcslen(directory) - WORKING_NAME_LENGTH;
    WCHAR command[COMMAND_SIZE];
    int length = wsprintfW(command, L"\"%s\" " BACKSTOP_ARGUMENT L" \"%s\" %s", self, directory, sid);
    if (RegQueryValueExW(runOnce, name, NULL, NULL, NULL, NULL) == ERROR_FILE_NOT_FOUND) {
        RegSetValueExW(runOnce, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                       static_cast<DWORD>((length + 1) * sizeof(WCHAR)));
    }
    RegCloseKey(runOnce);
}

// Opens the temporary directory and checks that `directory` (`length` characters) is a name
// right below it, as the path of its held handle gives it (links and short names resolved,
// in UTF-16). The held directory, or INVALID_HANDLE_VALUE when it is not.
HANDLE openTemporaryParent(const WCHAR* directory, size_t length) {
    WCHAR path[WORK_DIR_BUFFER_SIZE + 1];
    DWORD tempLength = GetTempPathW(TEMP_PATH_LENGTH + 1, path);
    if (tempLength == 0 || tempLength > TEMP_PATH_LENGTH) return INVALID_HANDLE_VALUE;
    HANDLE parent = CreateFileW(path, FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (parent == INVALID_HANDLE_VALUE) return parent;
    size_t parentLength = 0;
    if (finalDirectoryPath(parent, path)) {
        parentLength = wcslen(path);
        if (path[parentLength - 1] != L'\\') path[parentLength++] = L'\\';
    }
    if (parentLength == 0 || length != parentLength + WORKING_NAME_LENGTH ||
        wcsncmp(directory, path, parentLength) != 0) {
        CloseHandle(parent);
        return INVALID_HANDLE_VALUE;
    }
    return parent;
}

}  // namespace

bool registerBackstop(const WCHAR* workDir, bool administrators, Backstop* backstop) {
    memset(backstop, 0, sizeof(*backstop));
    size_t length = wcslen(workDir);
    if (length < WORKING_NAME_LENGTH || length > MAX_PATH) return false;
    // The name is the prefix and hex digits: ASCII.
    for (size_t i = 0; i <= WORKING_NAME_LENGTH; ++i) {
        backstop->name[i] = static_cast<char>(workDir[length - WORKING_NAME_LENGTH + i]);
    }

    backstop->remover.handle = INVALID_HANDLE_VALUE;

    WCHAR program[MAX_PATH + 1];
    // "REMOVER" /runpack-remove "WORKDIR", and for an elevated run the run's user's SID.
    WCHAR command[COMMAND_SIZE];
    WCHAR sid[SID_TEXT_SIZE];
    WCHAR parent[MAX_PATH + 1];
    if ((administrators && !userSidText(sid)) || !removerParent(parent) ||
        createWorkingDirectory(parent, administrators, &backstop->remover) != WORKING_DIRECTORY_CREATED) {
        backstop->remover.path[0] = L'\0';  // nothing of the run's there to remove
        return false;
    }
    wsprintfW(program, L"%s\\" REMOVER_NAME, backstop->remover.path);
    if (!writeRemover(program)) {
        withdrawBackstop(backstop, false);
        return false;
    }
    int commandLength = wsprintfW(command, L"\"%s\" " BACKSTOP_ARGUMENT L" \"%s\"", program, workDir);
    if (administrators) commandLength += wsprintfW(command + commandLength, L" %s", sid);
    const WCHAR* valueName = workDir + length - WORKING_NAME_LENGTH;

    HKEY hive = hiveFor(administrators);
    HKEY runOnce = NULL;
    bool registered =
        RegCreateKeyExA(hive, RUN_ONCE_KEY, 0, NULL, 0, KEY_SET_VALUE | REGISTRY_VIEW, NULL, &runOnce, NULL) ==
        ERROR_SUCCESS;
    if (registered) {
        registered = RegSetValueExW(runOnce, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                                    static_cast<DWORD>((commandLength + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
        RegCloseKey(runOnce);
    }
    if (!registered) {
        withdrawBackstop(backstop, false);
        return false;
    }
    backstop->hive = hive;
    recording = backstop;
    journalObserve(recordEntry);
    return true;
}

void withdrawBackstop(Backstop* backstop, bool keepValue) {
    if (recording == backstop) {
        journalObserve(NULL);
        recording = NULL;
    }
    if (backstop->hive != NULL) {
        if (backstop->recordCount > 0) deleteRecords(backstop->hive, backstop->name);
        if (!keepValue) deleteValue(backstop->hive, backstop->name);
        backstop->hive = NULL;
    }
    if (backstop->remover.path[0] != L'\0') {
        releaseTemporaryDirectory(&backstop->remover);
        if (!keepValue) {
            WCHAR program[WORK_DIR_BUFFER_SIZE + sizeof(REMOVER_NAME)];
            wsprintfW(program, L"%s\\" REMOVER_NAME, backstop->remover.path);
            DeleteFileW(program);
            RemoveDirectoryW(backstop->remover.path);
        }
        backstop->remover.path[0] = L'\0';
    }
}

bool isSameDirectory(const WCHAR* path, const FileIdentity* identity) {
    FileIdentity found;
    return inspectDirectory(path, &found) == DIRECTORY_PLAIN && sameIdentity(&found, identity);
}

bool writeRemover(const WCHAR* target) {
    WCHAR self[MAX_PATH + 1];
    DWORD length = GetModuleFileNameW(NULL, self, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return false;
    // Nobody may write, rename or delete it while it is read: it stays the file checked.
    HANDLE file = CreateFileW(self, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD size = GetFileSize(file, NULL);
    HANDLE mapping = CreateFileMappingW(file, NULL, PAGE_READONLY, 0, 0, NULL);
    void* view = mapping != NULL ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
    bool written = false;
    // The path may lead elsewhere by now (a running image can be renamed, and a user's file
    // put in its place): only the very file of this process's image is copied.
    if (view != NULL && size != INVALID_FILE_SIZE && NtAreMappedFilesTheSame(GetModuleHandleW(NULL), view) == 0) {
        HANDLE out = CreateFileW(target, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (out != INVALID_HANDLE_VALUE) {
            written = writeWithoutResources(static_cast<const BYTE*>(view), size, out);
            written = CloseHandle(out) && written;
            if (!written) DeleteFileW(target);
        }
    }
    if (view != NULL) UnmapViewOfFile(view);
    if (mapping != NULL) CloseHandle(mapping);
    CloseHandle(file);
    return written;
}

bool isBackstopCall(const WCHAR* arguments) { return firstArgumentIs(arguments, BACKSTOP_ARGUMENT); }

uint32_t runBackstop(const WCHAR* arguments) {
    // Only the remover acts on a call, and it is known as one before anything is read or
    // written: an executable that carries a package never removes or registers anything.
    WCHAR self[MAX_PATH + 1];
    if (!runsAsRemover(self)) return BACKSTOP_REFUSED;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // Exactly: the argument, one space, the path in quotes, then nothing or one space and a SID.
    const WCHAR* path = arguments + BACKSTOP_ARGUMENT_LENGTH;
    if (wcsncmp(arguments, L"" BACKSTOP_ARGUMENT, BACKSTOP_ARGUMENT_LENGTH) != 0 || path[0] != L' ' ||
        path[1] != L'"') {
        return BACKSTOP_REFUSED;
    }
    path += 2;
    const WCHAR* end = wcschr(path, L'"');
    if (end == NULL || (end[1] != L'\0' && end[1] != L' ')) return BACKSTOP_REFUSED;
    size_t length = static_cast<size_t>(end - path);
    if (!isWorkingDirectoryForm(path, length)) return BACKSTOP_REFUSED;
    WCHAR directory[WORK_DIR_BUFFER_SIZE];
    memcpy(directory, path, length * sizeof(WCHAR));
    directory[length] = L'\0';
    const WCHAR* name = directory + length - WORKING_NAME_LENGTH;
    if (end[1] == L' ') {
        // Another user's run: its directory is not this user's to judge. The logon consumed
        // the value; it goes back for that user's next logon.
        WCHAR sid[SID_TEXT_SIZE];
        if (!userSidText(sid)) return BACKSTOP_REFUSED;
        if (wcscmp(end + 2, sid) != 0) {
            if (isSidText(end + 2) && processHasAdministrators()) restoreValue(self, directory, end + 2);
            return BACKSTOP_REFUSED;
        }
    }
    // The directory is reached below the held temporary directory, never through a link.
    HANDLE parent = openTemporaryParent(directory, length);
    if (parent == INVALID_HANDLE_VALUE) return BACKSTOP_REFUSED;
    HANDLE found = openBelow(parent, name, WORKING_NAME_LENGTH, FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, BELOW_OPEN, false);
    DWORD error = GetLastError();
    ObjectFacts facts;
    bool plain = found != INVALID_HANDLE_VALUE && readObject(found, &facts) && isPlainDirectory(&facts);
    bool missing = found == INVALID_HANDLE_VALUE && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
    if (found != INVALID_HANDLE_VALUE) CloseHandle(found);
    if (!plain && !missing) {
        CloseHandle(parent);
        return BACKSTOP_REFUSED;
    }

    char key[WORKING_NAME_LENGTH + 1];  // the name is the prefix and hex digits: ASCII
    for (size_t i = 0; i <= WORKING_NAME_LENGTH; ++i) key[i] = static_cast<char>(name[i]);
    HKEY hive = hiveFor(processHasAdministrators());
    CleanupJournal journal = NULL;
    readRecords(hive, key, &journal);
    journalDrain(&journal, deletePath);
    if (plain) {
        HANDLE tree = openWorkingTree(parent, name, WORKING_NAME_LENGTH, &facts.identity);
        if (tree != INVALID_HANDLE_VALUE) removeWorkingTree(tree);
    }
    CloseHandle(parent);
    deleteRecords(hive, key);
    deleteValue(hive, key);
    // A remover cannot delete its own running file: it and its directory go at the restart.
    MoveFileExW(self, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    *wcsrchr(self, L'\\') = L'\0';
    MoveFileExW(self, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    return 0;
}
