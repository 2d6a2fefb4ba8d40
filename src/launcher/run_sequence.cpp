#include "launcher/run_sequence.h"

#include <stdlib.h>
#include <string.h>

#include "extract/entry_extraction.h"
#include "extract/file_objects.h"
#include "extract/journal.h"
#include "extract/stream_prefetch.h"
#include "launcher/backstop.h"
#include "launcher/command_search.h"
#include "launcher/command_start.h"
#include "launcher/destination_lock.h"
#include "launcher/messages.h"
#include "launcher/progress_window.h"
#include "launcher/working_directory.h"
#include "package/package_digest.h"
#include "package/package_reader.h"
#include "package/run_options.h"
#include "platform/threads.h"
#include "resources/resource_ids.h"

namespace {

uint32_t reportWithFailCode(UINT id) {
    SetLastError(CODE_NTE_FAIL);
    return reportError(id);
}

// Reads the run options ("RUNINFO" 104). Without the resource every flag is clear; false
// when it exists but cannot be read or is malformed.
bool loadRunOptions(RunOptions* options) {
    options->recordSize = RUN_OPTIONS_RECORD_SIZE;
    options->flags = 0;
    HRSRC found = FindResourceA(NULL, MAKEINTRESOURCEA(ID_RUN_OPTIONS), RUNINFO_TYPE);
    if (found == NULL) return true;
    HGLOBAL loaded = LoadResource(NULL, found);
    const uint8_t* bytes = loaded != NULL ? static_cast<const uint8_t*>(LockResource(loaded)) : NULL;
    return bytes != NULL && readRunOptions(bytes, SizeofResource(NULL, found), options);
}

// Starts the package's command in `workDir`, with the engine's own arguments behind it when
// `forward` is set. The program is the one the package's command names, whatever the
// arguments hold. 0 when it started, otherwise the code of the reported error.
uint32_t startPackageCommand(const char* packageCommand, UINT codePage, bool forward, const WCHAR* workDir,
                             bool waits, StartedCommand* command) {
    // The package's command in Unicode, converted from the package's code page; the
    // engine's arguments exactly as the engine got them.
    DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    int wideLength = MultiByteToWideChar(codePage, flags, packageCommand, -1, NULL, 0);
    if (wideLength <= 0) return reportError(IDS_CREATE_PROCESS);
    WCHAR* wideCommand = static_cast<WCHAR*>(malloc(wideLength * sizeof(WCHAR)));
    if (wideCommand == NULL) return reportWithFailCode(IDS_COMMAND_MEMORY);
    MultiByteToWideChar(codePage, flags, packageCommand, -1, wideCommand, wideLength);
    // CreateProcessW may write into the command line: it gets its own copy.
    const WCHAR* arguments = forward ? commandArguments(GetCommandLineW()) : NULL;
    WCHAR* commandLine = NULL;
    CommandLineStatus composed = composeCommandLine<WCHAR>(wideCommand, arguments, &commandLine);
    uint32_t result = 0;
    switch (composed) {
    case COMMAND_LINE_NO_MEMORY: result = reportWithFailCode(IDS_COMMAND_MEMORY); break;
    case COMMAND_LINE_TOO_LONG:
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        result = reportError(IDS_CREATE_PROCESS);
        break;
    case COMMAND_LINE_COMPOSED: {
        // The engine finds the program itself, never in its own folder nor, elevated, in a
        // folder of the user's PATH, and starts it by its full path; where the mode waits, in
        // a job of its own.
        WCHAR program[PROGRAM_PATH_SIZE];
        if (!findProgram(wideCommand, workDir, processHasAdministrators(), program)) {
            result = reportError(IDS_CREATE_PROCESS);
        } else if (arguments != NULL && arguments[0] != 0 && startsCommandInterpreter(program)) {
            // An interpreter would read the caller's arguments as commands of their own: what
            // runs would no longer be what the package names.
            SetLastError(ERROR_BAD_ARGUMENTS);
            result = reportError(IDS_CREATE_PROCESS);
        } else if (!startCommand(program, commandLine, workDir, waits, command)) {
            result = reportError(IDS_CREATE_PROCESS);
        }
        break;
    }
    }
    free(wideCommand);
    free(commandLine);
    return result;
}

// Set by drainChecked when a user's object that the run had set aside is not back at its
// path after the drain.
bool putBackFailed = false;

// The drain's action, which also sees that every user's object set aside is back: the very
// object at its path.
void drainChecked(const JournalNode* entry) {
    deletePath(entry);
    if (entry->kind == JOURNAL_SET_ASIDE && !isBackAtItsPath(entry)) putBackFailed = true;
}

// Takes the lock of the package's destinations when it writes outside the working directory.
// True when the run may go on; otherwise the failure has been reported into `*result`.
bool lockDestinations(const uint8_t* package, uint32_t size, HWND progress, HANDLE* lock, uint32_t* result) {
    *lock = NULL;
    if (!packageHasSharedDestinations(package, size)) return true;
    // The digest resource: already found equal to the package's SHA-1.
    HRSRC found = FindResourceA(NULL, MAKEINTRESOURCEA(ID_PACKAGE_DIGEST), RUNINFO_TYPE);
    HGLOBAL loaded = found != NULL ? LoadResource(NULL, found) : NULL;
    const uint8_t* digest = loaded != NULL ? static_cast<const uint8_t*>(LockResource(loaded)) : NULL;
    if (digest != NULL &&
        takeDestinationLock(digest, DESTINATION_LOCK_WAIT_MS, progress, lock) == DESTINATION_LOCK_HELD) {
        return true;
    }
    *result = reportError(IDS_EXTRACT);
    return false;
}

// True when the package's files fit the free space of every volume they go to. Asked before
// anything is made: the working directory will be made in the temporary directory, so its
// volume answers for the relative destinations.
bool packageFits(const uint8_t* package, uint32_t size, const WCHAR* tempPath, UINT codePage, bool administrators) {
    HANDLE temp = CreateFileW(tempPath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ExtractionTarget target = {temp, codePage, administrators};
    bool fits = packageFitsItsVolumes(package, size, &target);
    if (temp != INVALID_HANDLE_VALUE) CloseHandle(temp);
    return fits;
}

// The run of the package found in the engine's resources, from its digest check on.
uint32_t runFoundPackage(HINSTANCE instance, const RunOptions* options, bool optionsRead, bool unattended,
                         UINT callerErrorMode, const uint8_t* package, uint32_t size, StreamPrefetch* prefetch) {
    // A package refused here is never extracted: its helpers stop before the message.
    if (!checkPackageDigest(package, size)) {
        prefetchEnd(prefetch);
        return reportWithFailCode(IDS_BAD_CHECKSUM);
    }
    if (!optionsRead) {
        prefetchEnd(prefetch);
        return reportWithFailCode(IDS_PROCESS_RUNINFO);
    }
    PackageHeader header;
    memset(&header, 0, sizeof(header));
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t totalUnpacked = 0;
    UINT codePage = (options->flags & RUN_UTF8_NAMES) != 0 ? CP_UTF8 : CP_ACP;
    if (!validatePackage(package, size, &header, &totalUnpacked) ||
        !packageTextsAreValid(package, size, header.command, codePage)) {
        prefetchEnd(prefetch);
        return reportWithFailCode(IDS_PROCESS_RUNINFO);
    }

    WCHAR tempPath[TEMP_PATH_LENGTH + 1];
    DWORD tempLength = GetTempPathW(TEMP_PATH_LENGTH + 1, tempPath);
    if (tempLength == 0 || tempLength > TEMP_PATH_LENGTH) return reportError(IDS_TEMP_NAME);
    bool administrators = processHasAdministrators();
    if (!packageFits(package, size, tempPath, codePage, administrators)) {
        SetLastError(ERROR_DISK_FULL);
        return reportError(IDS_EXTRACT);
    }
    // The working directory stays open until the clean-up begins: while the run extracts
    // and runs files from it, nobody can rename or replace it. Everything below it is
    // reached through that handle.
    WorkingDirectory work;
    switch (createWorkingDirectory(tempPath, administrators, &work)) {
    case WORKING_DIRECTORY_NO_NAME: return reportError(IDS_TEMP_NAME);
    case WORKING_DIRECTORY_NOT_CREATED: return reportError(IDS_TEMP_CREATE);
    case WORKING_DIRECTORY_CREATED: break;
    }
    const WCHAR* workDir = work.path;
    const FileIdentity workIdentity = {work.identity.volumeSerial, work.identity.indexHigh,
                                       work.identity.indexLow};
    ExtractionTarget target = {work.handle, codePage, administrators};
    CleanupJournal journal = NULL;
    if (!SetCurrentDirectoryW(workDir)) {
        uint32_t failed = reportError(IDS_TEMP_ENTER);
        releaseWorkingDirectory(&work);
        HANDLE tree = openWorkingTree(work.parent, work.name, WORKING_NAME_LENGTH, &workIdentity);
        if (tree != INVALID_HANDLE_VALUE) removeWorkingTree(tree);
        releaseTemporaryDirectory(&work);
        return failed;
    }
    // Before anything is extracted: should the run be killed from now on, the next logon
    // removes what it leaves. A run that leaves its files in place needs none.
    Backstop backstop;
    memset(&backstop, 0, sizeof(backstop));
    if (header.cleanupMode != CLEANUP_DETACH) registerBackstop(workDir, administrators, &backstop);

    HWND progress = NULL;
    DWORD progressOpenedAt = 0;
    if (totalUnpacked > PROGRESS_THRESHOLD && !unattended) {
        progressOpenedAt = GetTickCount();
        progress = openProgressWindow(instance);
    }

    uint32_t cleanupMode = header.cleanupMode;
    uint32_t result = 0;
    // The command's exit code, which the run ends with when the options ask for it.
    uint32_t commandExitCode = 0;
    StartedCommand command;
    memset(&command, 0, sizeof(command));
    // Held from before the first of the user's files is set aside until the last is back.
    HANDLE destinationLock = NULL;
    if (!lockDestinations(package, size, progress, &destinationLock, &result)) {
        // Nothing was set aside or extracted: the run ends as it began.
    } else if (!extractPackage(package, size, &target, &journal, prefetch)) {
        result = reportWithFailCode(IDS_EXTRACT);
    } else {
        if (progress != NULL) {
            pumpProgressWindow(progress);
            // The window stays up for at least a second. A negative difference (the tick
            // count wrapped) does not sleep.
            int32_t elapsed = static_cast<int32_t>(GetTickCount() - progressOpenedAt);
            if (elapsed >= 0 && elapsed < static_cast<int32_t>(PROGRESS_MIN_DISPLAY_MS)) {
                Sleep(PROGRESS_MIN_DISPLAY_MS - elapsed);
            }
        }
        if (header.command != NULL && header.command[0] != '\0') {
            bool waits = cleanupMode != CLEANUP_DETACH;
            if (unattended) SetErrorMode(callerErrorMode);
            bool forward = (options->flags & RUN_FORWARD_ARGUMENTS) != 0;
            result = startPackageCommand(header.command, codePage, forward, workDir, waits, &command);
            if (result == 0 && waits) {
                if (progress != NULL) {
                    dismissProgressWindow(progress);
                    progress = NULL;
                }
                waitForCommand(&command);
                if ((options->flags & RUN_EXIT_CODE_COMMAND) != 0) {
                    // A code that cannot be read is not passed off as success.
                    DWORD code = 0;
                    commandExitCode = GetExitCodeProcess(command.process.hProcess, &code)
                                          ? code
                                          : CODE_NTE_FAIL;
                }
            }
        }
    }

    if (progress != NULL) {
        dismissProgressWindow(progress);
        releaseProgressBrushes();
    }
    // After any failure the whole working directory goes, whatever the package said.
    if (result != 0) cleanupMode = CLEANUP_TREE;
    // The working directory is reopened below the held temporary directory, and only while it
    // is still the directory made; what the run made below it is reached from there.
    bool treeLeft = false;
    if (cleanupMode != CLEANUP_DETACH) {
        // What the command leaves in an elevated run's directory is the user's to use.
        if (cleanupMode == CLEANUP_JOURNAL && administrators) shareWithUser(&work);
        releaseWorkingDirectory(&work);
        SetCurrentDirectoryW(tempPath);
        HANDLE tree = openWorkingTree(work.parent, work.name, WORKING_NAME_LENGTH, &workIdentity);
        setRemovalRoot(tree != INVALID_HANDLE_VALUE ? tree : NULL);
        journalDrain(&journal, drainChecked);
        setRemovalRoot(NULL);
        if (tree != INVALID_HANDLE_VALUE && cleanupMode == CLEANUP_TREE) {
            removeWorkingTree(tree);
            // A tree that could not be removed (a program that left the job still runs from
            // it) is left to the backstop; only the run's own directory counts, not something
            // that took its place once the run let go of it.
            HANDLE still = openBelow(work.parent, work.name, WORKING_NAME_LENGTH, FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, BELOW_OPEN, false);
            ObjectFacts facts;
            treeLeft = still != INVALID_HANDLE_VALUE && readObject(still, &facts) && isPlainDirectory(&facts) &&
                       sameIdentity(&facts.identity, &workIdentity);
            if (still != INVALID_HANDLE_VALUE) CloseHandle(still);
        } else if (tree != INVALID_HANDLE_VALUE) {
            // The directory itself goes when the journal left it empty.
            deleteByHandle(tree);
            CloseHandle(tree);
        }
    } else {
        journalDrain(&journal, dropSetAside);  // the package's files replace what they set aside
    }
    releaseDestinationLock(&destinationLock);
    // A user's file that did not come back is never passed off as success.
    if (putBackFailed && result == 0) result = reportWithFailCode(IDS_EXTRACT);
    releaseTemporaryDirectory(&work);
    withdrawBackstop(&backstop, treeLeft);
    closeCommand(&command);
    return result != 0 ? result : commandExitCode;
}

}  // namespace

uint32_t runPackage(HINSTANCE instance) {
    // The options decide how failures are shown, so they are read before anything can fail;
    // a malformed record is reported, in a box, once the package has passed its digest check.
    RunOptions options;
    bool optionsRead = loadRunOptions(&options);
    SetLastError(0);
    bool unattended = optionsRead && (options.flags & RUN_UNATTENDED) != 0;
    // The error mode the engine was started with, which the command gets back.
    UINT callerErrorMode = 0;
    if (unattended) {
        setUnattendedReporting();
        // No box of the system's either, for a drive that is not ready while extracting.
        callerErrorMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
        SetErrorMode(callerErrorMode | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    }

    HRSRC found = FindResourceA(NULL, MAKEINTRESOURCEA(ID_PACKAGE), RUNINFO_TYPE);
    if (found == NULL) return reportError(IDS_READ_RUNINFO);
    HGLOBAL loaded = LoadResource(NULL, found);
    if (loaded == NULL) return reportError(IDS_GET_RUNINFO);
    const uint8_t* package = static_cast<const uint8_t*>(LockResource(loaded));
    if (package == NULL) return reportError(IDS_LOCK_RUNINFO);
    uint32_t size = SizeofResource(NULL, found);

    // Helpers may decode the first streams while the package is checked and the working
    // directory made: they only fill memory of their own, which the extraction, or the end
    // of a run that never gets there, gives back.
    StreamPrefetch prefetch;
    prefetchBegin(&prefetch, package, size, processorCount(), PREFETCH_MEMORY_CAP);
    prefetchFromStart(&prefetch);
    uint32_t result = runFoundPackage(instance, &options, optionsRead, unattended, callerErrorMode, package, size,
                                      &prefetch);
    prefetchEnd(&prefetch);
    return result;
}
