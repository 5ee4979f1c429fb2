#include "handle_table.h"

#include "foldercopy/folder_copy_entry.h"

namespace kivo {

// The tables are built when the library is loaded and destroyed at unload.
static FindDataTable fileEnumTable;
static FindDataTable deviceEnumTable;
static FolderCopyTableType folderCopyTable;
static DialogTable dialogResultTable;

FindDataTable &FileEnumTable() { return fileEnumTable; }
FindDataTable &DeviceEnumTable() { return deviceEnumTable; }
FolderCopyTableType &FolderCopyTable() { return folderCopyTable; }
DialogTable &DialogResultTable() { return dialogResultTable; }

void ClearAllHandleTables() {
    fileEnumTable.Clear();
    deviceEnumTable.Clear();
    folderCopyTable.Clear();
    dialogResultTable.Clear();
}

}  // namespace kivo
