#include "launcher/run_sequence.h"

#include <stdlib.h>
#include <string.h>

#include "extract/entry_extraction.h"
#include "extract/journal.h"
#include "launcher/command_search.h"
#include "launcher/command_start.h"
#include "launcher/messages.h"
#include "launcher/progress_window.h"
#include "launcher/working_directory.h"
#include "package/package_digest.h"
#include "package/package_reader.h"
#include "resources/resource_ids.h"

static uint32_t reportWithFailCode(UINT id) {
    SetLastError(CODE_NTE_FAIL);
    return reportError(id);
}

uint32_t runPackage(HINSTANCE instance) {
    HRSRC found = FindResourceA(NULL, MAKEINTRESOURCEA(ID_PACKAGE), RUNINFO_TYPE);
    if (found == NULL) return reportError(IDS_READ_RUNINFO);
    HGLOBAL loaded = LoadResource(NULL, found);
    if (loaded == NULL) return reportError(IDS_GET_RUNINFO);
    const uint8_t* package = static_cast<const uint8_t*>(LockResource(loaded));
    if (package == NULL) return reportError(IDS_LOCK_RUNINFO);
    uint32_t size = SizeofResource(NULL, found);

    if (!checkPackageDigest(package, size)) return reportWithFailCode(IDS_BAD_CHECKSUM);
    PackageHeader header;
    memset(&header, 0, sizeof(header));
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t totalUnpacked = 0;
    if (!validatePackage(package, size, &header, &totalUnpacked)) {
        return reportWithFailCode(IDS_PROCESS_RUNINFO);
    }

    char tempPath[TEMP_PATH_LENGTH + 1];
    DWORD tempLength = GetTempPathA(TEMP_PATH_LENGTH, tempPath);
    if (tempLength == 0 || tempLength > TEMP_PATH_LENGTH) return reportError(IDS_TEMP_NAME);
    // The working directory stays open until the clean-up begins: while the run extracts
    // and runs files from it, nobody can rename or replace it.
    WorkingDirectory work;
    switch (createWorkingDirectory(tempPath, processHasAdministrators(), &work)) {
    case WORKING_DIRECTORY_NO_NAME: return reportError(IDS_TEMP_NAME);
    case WORKING_DIRECTORY_NOT_CREATED: return reportError(IDS_TEMP_CREATE);
    case WORKING_DIRECTORY_CREATED: break;
    }
    const char* workDir = work.path;
    // Removed only while its path still leads to the directory held now.
    const FileIdentity workIdentity = {work.identity.volumeSerial, work.identity.indexHigh,
                                       work.identity.indexLow};
    CleanupJournal journal = NULL;
    journalPushCreated(workDir, &workIdentity, &journal);  // the oldest entry: removed last
    if (!SetCurrentDirectoryA(workDir)) return reportError(IDS_TEMP_ENTER);

    HWND progress = NULL;
    DWORD progressOpenedAt = 0;
    if (totalUnpacked > PROGRESS_THRESHOLD) {
        progressOpenedAt = GetTickCount();
        progress = openProgressWindow(instance);
    }

    uint32_t cleanupMode = header.cleanupMode;
    uint32_t result = 0;
    StartedCommand command;
    memset(&command, 0, sizeof(command));
    if (!extractPackage(package, size, workDir, &journal)) {
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
            // CreateProcessA may write into the command line: it gets its own copy.
            size_t commandSize = strlen(header.command) + 1;
            char* commandLine = static_cast<char*>(malloc(commandSize));
            if (commandLine == NULL) {
                result = reportWithFailCode(IDS_COMMAND_MEMORY);
            } else {
                memcpy(commandLine, header.command, commandSize);
                // The engine finds the program itself, never in its own folder, and starts
                // it by its full path; where the mode waits, in a job of its own.
                char program[PROGRAM_PATH_SIZE];
                bool waits = cleanupMode != CLEANUP_DETACH;
                if (!findProgram(commandLine, workDir, program) ||
                    !startCommand(program, commandLine, workDir, waits, &command)) {
                    result = reportError(IDS_CREATE_PROCESS);
                } else if (waits) {
                    if (progress != NULL) {
                        dismissProgressWindow(progress);
                        progress = NULL;
                    }
                    waitForCommand(&command);
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
    if (cleanupMode != CLEANUP_DETACH) {
        releaseWorkingDirectory(&work);
        SetCurrentDirectoryA(tempPath);
        journalDrain(&journal, deletePath);
    } else {
        journalDrain(&journal, dropSetAside);  // the package's files replace what they set aside
    }
    if (cleanupMode == CLEANUP_TREE) removeWorkingTree(workDir, &workIdentity);
    closeCommand(&command);
    return result;
}
