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

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The directory that a backstop call names, checked as text: the temporary directory, byte
// for byte, then a working directory's name, and nothing more. `name` receives the name.
bool isWorkingDirectoryPath(const char* path, size_t length, char* name) {
    char temp[TEMP_PATH_LENGTH + 1];
    DWORD tempLength = GetTempPathA(TEMP_PATH_LENGTH, temp);
    if (tempLength == 0 || tempLength > TEMP_PATH_LENGTH) return false;
    if (length != tempLength + WORKING_NAME_LENGTH || memcmp(path, temp, tempLength) != 0) return false;
    const char* candidate = path + tempLength;
    const size_t prefixLength = sizeof(WORKING_DIRECTORY_PREFIX) - 1;
    if (memcmp(candidate, WORKING_DIRECTORY_PREFIX, prefixLength) != 0) return false;
    for (size_t i = prefixLength; i < WORKING_NAME_LENGTH; ++i) {
        if (!isHexDigit(candidate[i])) return false;
    }
    memcpy(name, candidate, WORKING_NAME_LENGTH);
    name[WORKING_NAME_LENGTH] = '\0';
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

// The text of the SID of the process's user into `text` (SID_TEXT_SIZE bytes).
bool userSidText(char* text) {
    DWORD sid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    char* converted = NULL;
    if (!tokenUserSid(sid) || !ConvertSidToStringSidA(sid, &converted)) return false;
    bool fits = strlen(converted) < SID_TEXT_SIZE;
    if (fits) strcpy(text, converted);
    LocalFree(converted);
    return fits;
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

// Whether the module this process runs is a remover: REMOVER_NAME in a directory of the
// Windows directory's Temp.
bool runsAsRemover(WCHAR* self) {
    WCHAR parent[MAX_PATH + 1];
    DWORD length = GetModuleFileNameW(NULL, self, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH || !removerParent(parent)) return false;
    size_t parentLength = lstrlenW(parent);
    const size_t nameLength = sizeof(REMOVER_NAME) - 1;
    return length == parentLength + WORKING_NAME_LENGTH + 1 + nameLength &&
           CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, self, static_cast<int>(parentLength), parent,
                          static_cast<int>(parentLength)) == CSTR_EQUAL &&
           self[parentLength + WORKING_NAME_LENGTH] == L'\\';
}

// Writes the value `name` of HKEY_LOCAL_MACHINE's RunOnce back with the command line this
// process was started with, which was the value's data. Only a value of a working
// directory's name, and only where the caller may write there.
void restoreValue(const char* name) {
    for (size_t i = sizeof(WORKING_DIRECTORY_PREFIX) - 1; i < WORKING_NAME_LENGTH; ++i) {
        if (!isHexDigit(name[i])) return;
    }
    if (memcmp(name, WORKING_DIRECTORY_PREFIX, sizeof(WORKING_DIRECTORY_PREFIX) - 1) != 0) return;
    HKEY runOnce = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_ONCE_KEY, 0, KEY_SET_VALUE | REGISTRY_VIEW, &runOnce) != ERROR_SUCCESS) {
        return;
    }
    const WCHAR* command = GetCommandLineW();
    WCHAR valueName[WORKING_NAME_LENGTH + 1];
    wsprintfW(valueName, L"%S", name);
    RegSetValueExW(runOnce, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                   static_cast<DWORD>((lstrlenW(command) + 1) * sizeof(WCHAR)));
    RegCloseKey(runOnce);
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

    // In Unicode: the engine's own path may hold characters that the code page cannot.
    WCHAR program[MAX_PATH + 1];
    WCHAR command[COMMAND_SIZE];
    int commandLength = 0;
    if (administrators) {
        // "REMOVER" /runpack-remove "WORKDIR" SID
        char sid[SID_TEXT_SIZE];
        WCHAR parent[MAX_PATH + 1];
        if (!userSidText(sid) || !removerParent(parent) ||
            createWorkingDirectory(parent, true, &backstop->remover) != WORKING_DIRECTORY_CREATED) {
            backstop->remover.path[0] = L'\0';  // nothing of the run's there to remove
            return false;
        }
        wsprintfW(program, L"%s\\" REMOVER_NAME, backstop->remover.path);
        if (!writeRemover(program)) {
            withdrawBackstop(backstop, false);
            return false;
        }
        commandLength = wsprintfW(command, L"\"%s\" " BACKSTOP_ARGUMENT L" \"%s\" %S", program, workDir, sid);
    } else {
        // "ENGINE" /runpack-remove "WORKDIR"
        DWORD engineLength = GetModuleFileNameW(NULL, program, MAX_PATH + 1);
        if (engineLength == 0 || engineLength > MAX_PATH) return false;
        commandLength = wsprintfW(command, L"\"%s\" " BACKSTOP_ARGUMENT L" \"%s\"", program, workDir);
    }
    WCHAR valueName[WORKING_NAME_LENGTH + 1];
    wsprintfW(valueName, L"%S", backstop->name);

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

uint32_t runBackstop(const WCHAR* wideArguments) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // Only text the code page holds as it is: no character stands in for another.
    char arguments[COMMAND_SIZE];
    BOOL substituted = FALSE;
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wideArguments, -1, arguments, sizeof(arguments), NULL,
                            &substituted) == 0 ||
        substituted) {
        return BACKSTOP_REFUSED;
    }
    // Exactly: the argument, one space, the path in quotes, and nothing after it.
    const char* path = arguments + BACKSTOP_ARGUMENT_LENGTH;
    if (memcmp(arguments, BACKSTOP_ARGUMENT, BACKSTOP_ARGUMENT_LENGTH) != 0 || path[0] != ' ' || path[1] != '"') {
        return BACKSTOP_REFUSED;
    }
    path += 2;
    const char* end = strchr(path, '"');
    if (end == NULL || (end[1] != '\0' && end[1] != ' ')) return BACKSTOP_REFUSED;
    char directory[TEMP_PATH_LENGTH + 1];
    size_t length = static_cast<size_t>(end - path);
    char name[WORKING_NAME_LENGTH + 1];
    if (end[1] == ' ') {
        // Another user's run: its directory is not this user's to judge. The logon consumed
        // the value; it goes back for that user's next logon.
        char sid[SID_TEXT_SIZE];
        if (!userSidText(sid) || strcmp(end + 2, sid) != 0) {
            if (length >= WORKING_NAME_LENGTH && processHasAdministrators()) {
                memcpy(name, end - WORKING_NAME_LENGTH, WORKING_NAME_LENGTH);
                name[WORKING_NAME_LENGTH] = '\0';
                restoreValue(name);
            }
            return BACKSTOP_REFUSED;
        }
    }
    if (length > TEMP_PATH_LENGTH || !isWorkingDirectoryPath(path, length, name)) return BACKSTOP_REFUSED;
    memcpy(directory, path, length);
    directory[length] = '\0';
    // The text passed the check against the temporary path above, in the same code page.
    WCHAR wide[WIDE_PATH_SIZE];
    if (MultiByteToWideChar(CP_ACP, 0, directory, -1, wide, WIDE_PATH_SIZE) <= 0) return BACKSTOP_REFUSED;
    FileIdentity identity;
    DirectoryState state = inspectDirectory(wide, &identity);
    if (state == DIRECTORY_OTHER) return BACKSTOP_REFUSED;

    HKEY hive = hiveFor(processHasAdministrators());
    CleanupJournal journal = NULL;
    readRecords(hive, name, &journal);
    journalDrain(&journal, deletePath);
    if (state == DIRECTORY_PLAIN) removeWorkingTreeAt(wide, &identity);
    deleteRecords(hive, name);
    deleteValue(hive, name);
    // A remover cannot delete its own running file: it and its directory go at the restart.
    WCHAR self[MAX_PATH + 1];
    if (runsAsRemover(self)) {
        MoveFileExW(self, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
        *wcsrchr(self, L'\\') = L'\0';
        MoveFileExW(self, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return 0;
}
