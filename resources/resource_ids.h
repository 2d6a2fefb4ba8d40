// Numeric ids of the engine's resources, shared by the resource script and the code.
#pragma once

#define ID_ICON 101
#define ID_PACKAGE 102
#define ID_PACKAGE_DIGEST 103
#define ID_RUN_OPTIONS 104
#define IDD_PROGRESS 105
#define IDB_PROGRESS 108

// The package, its digest and the run options live under this resource type.
#define RUNINFO_TYPE "RUNINFO"

// The message table.
#define IDS_GET_RUNINFO 2
#define IDS_LOCK_RUNINFO 3
#define IDS_BAD_CHECKSUM 4
#define IDS_PROCESS_RUNINFO 5
#define IDS_TEMP_NAME 6
#define IDS_TEMP_CREATE 7
#define IDS_TEMP_ENTER 8
#define IDS_EXTRACT 9
#define IDS_COMMAND_MEMORY 10
#define IDS_CREATE_PROCESS 11
#define IDS_CAPTION 12
#define IDS_READ_RUNINFO 13
