#include "handle_table.h"

namespace kivo {

// The tables are built when the library is loaded and destroyed at unload.
static FindDataTable fileEnumTable;
static FindDataTable deviceEnumTable;
static DialogTable dialogResultTable;

FindDataTable &FileEnumTable() { return fileEnumTable; }
FindDataTable &DeviceEnumTable() { return deviceEnumTable; }
DialogTable &DialogResultTable() { return dialogResultTable; }

void ClearAllHandleTables() {
    fileEnumTable.Clear();
    deviceEnumTable.Clear();
    dialogResultTable.Clear();
}

}  // namespace kivo
