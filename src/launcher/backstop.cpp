#include "launcher/backstop.h"

#include <string.h>

#include "extract/file_objects.h"

namespace {

// The 64-bit view on 64-bit Windows, where the logon reads RunOnce; ignored elsewhere.
const REGSAM REGISTRY_VIEW = KEY_WOW64_64KEY;
const size_t BACKSTOP_ARGUMENT_LENGTH = sizeof(BACKSTOP_ARGUMENT) - 1;
// The records' key: SET_ASIDE_KEY, a separator and the directory's name.
const size_t RECORDS_KEY_SIZE = sizeof(SET_ASIDE_KEY) + 1 + WORKING_NAME_LENGTH;
// A value's data: two quoted paths, the argument and the blanks between them.
const size_t COMMAND_SIZE = 2 * (MAX_PATH + 3) + BACKSTOP_ARGUMENT_LENGTH + 2;
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
    bool replacing = entry->kind == JOURNAL_CREATED && entry->older != NULL &&
                     entry->older->kind == JOURNAL_SET_ASIDE && wcscmp(entry->older->path, entry->path) == 0;
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

}  // namespace

bool registerBackstop(const WCHAR* workDir, bool administrators, Backstop* backstop) {
    memset(backstop, 0, sizeof(*backstop));
    size_t length = wcslen(workDir);
    if (length < WORKING_NAME_LENGTH || length > MAX_PATH) return false;
    // The name is the prefix and hex digits: ASCII.
    for (size_t i = 0; i <= WORKING_NAME_LENGTH; ++i) {
        backstop->name[i] = static_cast<char>(workDir[length - WORKING_NAME_LENGTH + i]);
    }

    // "ENGINE" /runpack-remove "WORKDIR", in Unicode: the engine's own path may hold
    // characters that the code page cannot.
    WCHAR engine[MAX_PATH + 1];
    DWORD engineLength = GetModuleFileNameW(NULL, engine, MAX_PATH + 1);
    if (engineLength == 0 || engineLength > MAX_PATH) return false;
    WCHAR command[COMMAND_SIZE];
    int commandLength = wsprintfW(command, L"\"%s\" " BACKSTOP_ARGUMENT L" \"%s\"", engine, workDir);
    WCHAR valueName[WORKING_NAME_LENGTH + 1];
    wsprintfW(valueName, L"%S", backstop->name);

    HKEY hive = hiveFor(administrators);
    HKEY runOnce = NULL;
    if (RegCreateKeyExA(hive, RUN_ONCE_KEY, 0, NULL, 0, KEY_SET_VALUE | REGISTRY_VIEW, NULL, &runOnce, NULL) !=
        ERROR_SUCCESS) {
        return false;
    }
    bool registered = RegSetValueExW(runOnce, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                                     static_cast<DWORD>((commandLength + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
    RegCloseKey(runOnce);
    if (!registered) return false;
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
    if (backstop->hive == NULL) return;
    if (backstop->recordCount > 0) deleteRecords(backstop->hive, backstop->name);
    if (!keepValue) deleteValue(backstop->hive, backstop->name);
    backstop->hive = NULL;
}

bool isBackstopCall(const char* arguments) {
    for (size_t i = 0; i < BACKSTOP_ARGUMENT_LENGTH; ++i) {
        char c = arguments[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != BACKSTOP_ARGUMENT[i]) return false;
    }
    unsigned char after = static_cast<unsigned char>(arguments[BACKSTOP_ARGUMENT_LENGTH]);
    return after <= ' ';
}

uint32_t runBackstop(const char* arguments) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // Exactly: the argument, one space, the path in quotes, and nothing after it.
    const char* path = arguments + BACKSTOP_ARGUMENT_LENGTH;
    if (memcmp(arguments, BACKSTOP_ARGUMENT, BACKSTOP_ARGUMENT_LENGTH) != 0 || path[0] != ' ' || path[1] != '"') {
        return BACKSTOP_REFUSED;
    }
    path += 2;
    const char* end = strchr(path, '"');
    if (end == NULL || end[1] != '\0') return BACKSTOP_REFUSED;
    char directory[TEMP_PATH_LENGTH + 1];
    size_t length = static_cast<size_t>(end - path);
    char name[WORKING_NAME_LENGTH + 1];
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
    return 0;
}
