// kivo.exe: a command-line file manager for portable devices, built on the
// library's public header and import library (kivo check also looks at a
// device directly, through the platform's own interfaces).
#include <windows.h>
#include <shobjidl.h>

#include <cwchar>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/check.h"
#include "cli/copy_tree.h"
#include "cli/output.h"
#include "include/kivo.h"

namespace kivocli {

namespace {

using Arguments = std::vector<std::wstring>;

struct Command {
    const wchar_t *usage;
    std::function<int(const Arguments &)> run;
};

const wchar_t kUsage[] =
    L"usage: kivo COMMAND [OPTIONS] ARGUMENTS\n"
    L"Files and folders on portable devices (phones, cameras, players) as paths like Phone\\Card\\DCIM\\photo.jpg;\n"
    L"local paths (C:\\..., \\\\server\\..., .\\...) work wherever a path is taken.\n\n"
    L"commands:\n"
    L"  devices                           the connected devices, one a line\n"
    L"  ls [-l] [--json] PATH             a folder's entries; wildcards as in Phone\\Card\\DCIM\\*.jpg\n"
    L"  stat PATH                         one object's record\n"
    L"  cp [--fail-if-exists|--newer] SRC DST\n"
    L"  mv SRC DST                        move or rename\n"
    L"  rm [-r] PATH                      a file, or with -r a folder and all in it\n"
    L"  rmdir PATH                        an empty folder\n"
    L"  mkdir PATH                        a folder and the missing ones above it\n"
    L"  copy-tree [-r] [--newer|--fail-if-exists] [--force] SRC DST\n"
    L"                                    every file of a folder (with -r its subfolders), one at a time\n"
    L"  df [--json] [PATH]                storages' total and free space\n"
    L"  check [--json] DEVICE [STORAGE]   whether the library works right on a device, in a folder of its own\n"
    L"  pick [--save|--folder|--multi]    shows a dialog and prints the chosen path(s)\n\n"
    L"kivo COMMAND --help tells more.\n";

int UsageError(const wchar_t *usage, const std::wstring &problem) {
    PrintError(L"kivo: " + problem + L"\n" + usage);
    return 2;
}

int Fail(const std::wstring &path) {
    DWORD code = GetLastError();
    PrintError(L"kivo: " + ErrorText(path, code) + L"\n");
    return 1;
}

bool IsFolder(const WIN32_FIND_DATAW &record) { return (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

std::wstring LocalDate(FILETIME utc) {
    FILETIME local{};
    SYSTEMTIME time{};
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &time)) return L"-";
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
             time.wSecond);
    return text;
}

std::wstring AttributeText(DWORD attributes) {
    std::wstring text;
    text += (attributes & FILE_ATTRIBUTE_DIRECTORY) ? L'd' : L'-';
    text += (attributes & FILE_ATTRIBUTE_READONLY) ? L'r' : L'-';
    text += (attributes & FILE_ATTRIBUTE_HIDDEN) ? L'h' : L'-';
    text += (attributes & FILE_ATTRIBUTE_SYSTEM) ? L's' : L'-';
    return text;
}

bool HasWildcard(const std::wstring &path) { return path.find_first_of(L"*?") != std::wstring::npos; }

// The object ID a device record carries; none for a disk path.
std::wstring ObjectId(const std::wstring &path, const WIN32_FIND_DATAW &record) {
    return KivoCheckDevicePathName(path.c_str()) ? std::wstring(record.cAlternateFileName) : std::wstring();
}

std::wstring LongLine(const std::wstring &path, const WIN32_FIND_DATAW &record) {
    ULONGLONG size = SizeOf(record);
    wchar_t exact[32];
    swprintf(exact, 32, L"%llu", size);
    std::wstring human = IsFolder(record) ? L"-" : HumanSize(size);
    std::wstring line = AttributeText(record.dwFileAttributes) + L"  ";
    line += std::wstring(human.size() < 9 ? 9 - human.size() : 0, L' ') + human + L"  ";
    line += std::wstring(wcslen(exact) < 12 ? 12 - wcslen(exact) : 0, L' ') + exact + L"  ";
    line += LocalDate(record.ftLastWriteTime) + L"  ";
    std::wstring id = ObjectId(path, record);
    line += (id.empty() ? std::wstring(L"-") : id) + L"  " + record.cFileName;
    return line;
}

std::wstring JsonLine(const std::wstring &path, const WIN32_FIND_DATAW &record) {
    wchar_t numbers[96];
    swprintf(numbers, 96, L"\"size\":%llu,\"attributes\":%lu,", SizeOf(record),
             static_cast<unsigned long>(record.dwFileAttributes));
    return L"{\"name\":" + JsonString(record.cFileName) + L",\"folder\":" + (IsFolder(record) ? L"true" : L"false") +
           L"," + numbers + L"\"modified\":" + JsonString(LocalDate(record.ftLastWriteTime)) +
           L",\"id\":" + JsonString(ObjectId(path, record)) + L"}";
}

// Splits leading options (starting with "-") from the operands; false for
// an option that is not one of allowed.
bool TakeOptions(const Arguments &arguments, const std::vector<std::wstring> &allowed, std::vector<std::wstring> &options,
                 Arguments &operands, std::wstring &bad) {
    for (const std::wstring &argument : arguments) {
        if (argument.size() > 1 && argument[0] == L'-' && operands.empty()) {
            bool known = false;
            for (const auto &a : allowed) known = known || a == argument;
            if (!known) {
                bad = argument;
                return false;
            }
            options.push_back(argument);
        } else {
            operands.push_back(argument);
        }
    }
    return true;
}

bool Has(const std::vector<std::wstring> &options, const wchar_t *option) {
    for (const auto &o : options)
        if (o == option) return true;
    return false;
}

// A folder given as a copy or move target takes the source's name.
std::wstring TargetFor(const std::wstring &source, const std::wstring &destination) {
    WIN32_FIND_DATAW record{};
    if (!KivoGetStatus(destination.c_str(), &record) || !IsFolder(record)) return destination;
    size_t cut = source.find_last_of(L"\\/");
    std::wstring name = cut == std::wstring::npos ? source : source.substr(cut + 1);
    std::wstring folder = destination;
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    return folder + L"\\" + name;
}

int Devices(const Arguments &) {
    HANDLE list = KivoFindDeviceFirst();
    // No device to list leaves no error code: an empty list.
    if (list == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SUCCESS ? 0 : Fail(L"devices");
    wchar_t name[MAX_PATH];
    while (KivoFindDeviceNext(list, name, MAX_PATH)) Print(std::wstring(name) + L"\n");
    KivoFindDeviceClose(list);
    return 0;
}

// The storages below a device: the folders at its top.
std::vector<std::wstring> StoragesOf(const std::wstring &device) {
    std::vector<std::wstring> storages;
    WIN32_FIND_DATAW record{};
    HANDLE find = KivoFindFirstFile((device + L"\\*").c_str(), &record);
    if (find == INVALID_HANDLE_VALUE) return storages;
    do
        if (IsFolder(record)) storages.push_back(device + L"\\" + record.cFileName);
    while (KivoFindNextFile(find, &record));
    KivoFindClose(find);
    return storages;
}

// The places df reports on: every storage of every device, those of the
// device PATH names, or PATH itself.
std::vector<std::wstring> PlacesFor(const Arguments &operands) {
    std::vector<std::wstring> places;
    if (operands.empty()) {
        HANDLE list = KivoFindDeviceFirst();
        if (list == INVALID_HANDLE_VALUE) return places;
        wchar_t name[MAX_PATH];
        while (KivoFindDeviceNext(list, name, MAX_PATH))
            for (auto &storage : StoragesOf(name)) places.push_back(storage);
        KivoFindDeviceClose(list);
        return places;
    }
    std::wstring path = operands[0];
    while (path.size() > 1 && path.back() == L'\\') path.pop_back();
    if (KivoCheckDevicePathName(path.c_str()) && path.find(L'\\') == std::wstring::npos) return StoragesOf(path);
    places.push_back(path);
    return places;
}

int DiskFree(const std::vector<std::wstring> &options, const Arguments &operands) {
    std::vector<std::wstring> places = PlacesFor(operands);
    if (places.empty()) {
        PrintError(L"kivo: no storage to report on\n");
        return 1;
    }
    bool json = Has(options, L"--json");
    int status = 0;
    for (const std::wstring &place : places) {
        ULARGE_INTEGER free{}, total{};
        bool hasTotal = KivoGetDiskFreeSpaceEx(place.c_str(), &free, &total, nullptr) != FALSE;
        bool hasFree = hasTotal || KivoGetDiskFreeSpaceEx(place.c_str(), &free, nullptr, nullptr);
        DWORD code = GetLastError();
        if (!hasFree && code != ERROR_NOT_SUPPORTED) {
            PrintError(L"kivo: " + ErrorText(place, code) + L"\n");
            status = 1;
            continue;
        }
        if (json) {
            Print(L"{\"path\": " + JsonString(place) + L", \"total\": " +
                  (hasTotal ? std::to_wstring(total.QuadPart) : L"null") + L", \"free\": " +
                  (hasFree ? std::to_wstring(free.QuadPart) : L"null") + L"}\n");
        } else {
            Print(place + L"  total " + (hasTotal ? HumanSize(total.QuadPart) : L"not reported") + L"  free " +
                  (hasFree ? HumanSize(free.QuadPart) : L"not reported") + L"\n");
        }
    }
    return status;
}

int List(const std::vector<std::wstring> &options, const std::wstring &path) {
    std::wstring pattern = path;
    WIN32_FIND_DATAW record{};
    if (!HasWildcard(path) && KivoGetStatus(path.c_str(), &record) && IsFolder(record)) {
        while (!pattern.empty() && (pattern.back() == L'\\' || pattern.back() == L'/')) pattern.pop_back();
        pattern += L"\\*";
    }
    HANDLE find = KivoFindFirstFile(pattern.c_str(), &record);
    if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SUCCESS ? 0 : Fail(path);
    bool json = Has(options, L"--json"), long_ = Has(options, L"-l");
    do {
        std::wstring name = record.cFileName;
        if (name == L"." || name == L"..") continue;
        if (json) Print(JsonLine(path, record) + L"\n");
        else if (long_) Print(LongLine(path, record) + L"\n");
        else Print(name + (IsFolder(record) ? L"\\" : L"") + L"\n");
    } while (KivoFindNextFile(find, &record));
    KivoFindClose(find);
    return 0;
}

int Stat(const std::wstring &path) {
    WIN32_FIND_DATAW record{};
    if (!KivoGetStatus(path.c_str(), &record)) return Fail(path);
    wchar_t exact[32];
    swprintf(exact, 32, L"%llu", SizeOf(record));
    std::wstring id = ObjectId(path, record);
    // A disk file's status holds no name.
    std::wstring name = record.cFileName[0] ? std::wstring(record.cFileName) : LastName(path);
    Print(L"name:        " + name + L"\n" + L"kind:        " +
          (IsFolder(record) ? L"folder" : L"file") + L"\n" + L"size:        " + exact + L" (" +
          HumanSize(SizeOf(record)) + L")\n" + L"attributes:  " + AttributeText(record.dwFileAttributes) + L"\n" +
          L"created:     " + LocalDate(record.ftCreationTime) + L"\n" + L"modified:    " +
          LocalDate(record.ftLastWriteTime) + L"\n" + (id.empty() ? L"" : L"object ID:   " + id + L"\n"));
    return 0;
}

int Pick(const std::vector<std::wstring> &options) {
    wchar_t path[MAX_PATH] = L"";
    int status = 1;
    if (Has(options, L"--folder")) {
        if (KivoOpenFolderDialog(nullptr, L"kivo: choose a folder", nullptr, path, MAX_PATH, 0)) status = 0;
        if (!status) Print(std::wstring(path) + L"\n");
    } else if (Has(options, L"--save")) {
        if (KivoSaveDialog(nullptr, L"kivo: save as", nullptr, nullptr, nullptr, 0, nullptr, path, MAX_PATH, 0)) status = 0;
        if (!status) Print(std::wstring(path) + L"\n");
    } else {
        UINT32 flags = Has(options, L"--multi") ? static_cast<UINT32>(FOS_ALLOWMULTISELECT) : 0u;
        INT32 result = KivoOpenDialog(nullptr, L"kivo: choose", nullptr, nullptr, nullptr, 0, nullptr, path, MAX_PATH, flags);
        if (result && path[0]) {
            status = 0;
            Print(std::wstring(path) + L"\n");
        }
        if (flags && result > 1) {
            while (KivoOpenDialogNext(result, path, MAX_PATH)) Print(std::wstring(path) + L"\n");
            KivoOpenDialogClose(result);
        }
    }
    return status;
}

struct CommandShape {
    std::vector<std::wstring> options;
    size_t operands;
};

std::map<std::wstring, Command> Commands() {
    std::map<std::wstring, Command> all;
    all[L"devices"] = {L"usage: kivo devices\nPrints the name of every connected device, one a line.\n",
                       [](const Arguments &a) { return Devices(a); }};
    all[L"ls"] = {L"usage: kivo ls [-l] [--json] PATH\nLists a folder, or the entries a wildcard pattern matches.\n"
                  L"  -l      attributes, size (human and exact), local date, object ID\n"
                  L"  --json  one object per line\n",
                  nullptr};
    all[L"stat"] = {L"usage: kivo stat PATH\nPrints one object's record.\n", nullptr};
    all[L"cp"] = {L"usage: kivo cp [--fail-if-exists|--newer] SRC DST\nCopies one file; DST may be a folder. A byte\n"
                  L"progress bar shows on a terminal (piped: a plain line a second for a copy that lasts); Ctrl+C\n"
                  L"stops the copy and leaves nothing of it (status 130).\n",
                  nullptr};
    all[L"mv"] = {L"usage: kivo mv SRC DST\nMoves or renames one file; DST may be a folder.\n", nullptr};
    all[L"rm"] = {L"usage: kivo rm [-r] PATH\nDeletes a file; with -r a folder and everything in it.\n", nullptr};
    all[L"rmdir"] = {L"usage: kivo rmdir PATH\nDeletes an empty folder.\n", nullptr};
    all[L"mkdir"] = {L"usage: kivo mkdir PATH\nCreates a folder and every missing folder above it.\n", nullptr};
    all[L"copy-tree"] = {L"usage: kivo copy-tree [-r] [--newer|--fail-if-exists] [--force] SRC DST\n"
                         L"Copies every file of SRC (a folder, or a folder and a mask like *.jpg) into DST, one at a\n"
                         L"time, with -r the subfolders too, with a byte progress bar on a terminal. Ctrl+C stops the\n"
                         L"copy at once and removes the file it was copying (exit status 130). A copy to a device\n"
                         L"that reports less free space than the files need is refused first; --force tries anyway.\n",
                         nullptr};
    all[L"df"] = {L"usage: kivo df [--json] [PATH]\n"
                  L"Each storage's total and free space: of every connected device, of the device or storage PATH\n"
                  L"names, or of the disk a local PATH is on. --json: one object per line.\n",
                  nullptr};
    all[L"check"] = {L"usage: kivo check [--json] DEVICE [STORAGE]\n"
                     L"Checks what the library relies on, on DEVICE's STORAGE (else its first): listing and paths,\n"
                     L"uploads and downloads read back byte for byte (up to 65 MiB), dates, rename, replace, delete,\n"
                     L"bulk reads, free space, the transfer size and the time of one property read. Works only in a\n"
                     L"new folder kivo-check-XXXXXXXX that it removes at the end, also after a failure or Ctrl+C.\n"
                     L"One line a check: ok, differs or not offered. Exit status 0 when nothing the library needs\n"
                     L"failed, 1 when something did, 130 after Ctrl+C.\n",
                     nullptr};
    all[L"pick"] = {L"usage: kivo pick [--save|--folder|--multi]\nShows a dialog and prints the chosen path(s).\n",
                    nullptr};
    return all;
}

int RunCommand(const std::wstring &name, const Command &command, const Arguments &arguments) {
    static const std::map<std::wstring, CommandShape> shapes = {
        {L"devices", {{}, 0}},
        {L"ls", {{L"-l", L"--json"}, 1}},
        {L"stat", {{}, 1}},
        {L"cp", {{L"--fail-if-exists", L"--newer"}, 2}},
        {L"mv", {{}, 2}},
        {L"rm", {{L"-r"}, 1}},
        {L"rmdir", {{}, 1}},
        {L"mkdir", {{}, 1}},
        {L"copy-tree", {{L"-r", L"--newer", L"--fail-if-exists", L"--force"}, 2}},
        {L"df", {{L"--json"}, 0}},
        {L"check", {{L"--json"}, 1}},
        {L"pick", {{L"--save", L"--folder", L"--multi"}, 0}},
    };
    for (const auto &argument : arguments)
        if (argument == L"--help" || argument == L"-h") {
            Print(command.usage);
            return 0;
        }
    const CommandShape &shape = shapes.at(name);
    std::vector<std::wstring> options;
    Arguments operands;
    std::wstring bad;
    if (!TakeOptions(arguments, shape.options, options, operands, bad))
        return UsageError(command.usage, L"unknown option " + bad);
    bool optionalPath = (name == L"df" && operands.size() == 1) || (name == L"check" && operands.size() == 2);
    if (operands.size() != shape.operands && !optionalPath)
        return UsageError(command.usage, name + L" takes " + std::to_wstring(shape.operands) + L" path(s)");
    if (command.run) return command.run(operands);
    if (name == L"ls") return List(options, operands[0]);
    if (name == L"df") return DiskFree(options, operands);
    if (name == L"check") return CheckDevice(operands[0], operands.size() > 1 ? operands[1] : L"", Has(options, L"--json"));
    if (name == L"stat") return Stat(operands[0]);
    if (name == L"cp") {
        if (Has(options, L"--fail-if-exists") && Has(options, L"--newer"))
            return UsageError(command.usage, L"--fail-if-exists and --newer exclude each other");
        DWORD flags = (Has(options, L"--fail-if-exists") ? KIVO_COPY_FAIL_IF_EXISTS : 0) |
                      (Has(options, L"--newer") ? KIVO_COPY_NEWER_ONLY : 0);
        return CopyOne(operands[0], TargetFor(operands[0], operands[1]), flags);
    }
    if (name == L"mv") {
        std::wstring target = TargetFor(operands[0], operands[1]);
        return KivoMoveFile(operands[0].c_str(), target.c_str()) ? 0 : Fail(operands[0]);
    }
    if (name == L"rm") {
        BOOL done = Has(options, L"-r") ? KivoDeleteFolder(operands[0].c_str()) : KivoDeleteFile(operands[0].c_str());
        return done ? 0 : Fail(operands[0]);
    }
    if (name == L"rmdir") return KivoRemoveFolder(operands[0].c_str()) ? 0 : Fail(operands[0]);
    if (name == L"mkdir") return KivoCreateFolder(operands[0].c_str()) ? 0 : Fail(operands[0]);
    if (name == L"copy-tree") {
        if (Has(options, L"--fail-if-exists") && Has(options, L"--newer"))
            return UsageError(command.usage, L"--fail-if-exists and --newer exclude each other");
        DWORD flags = (Has(options, L"-r") ? KIVO_COPY_SUBFOLDERS : 0) |
                      (Has(options, L"--fail-if-exists") ? KIVO_COPY_FAIL_IF_EXISTS : 0) |
                      (Has(options, L"--newer") ? KIVO_COPY_NEWER_ONLY : 0);
        return CopyTree(operands[0], operands[1], flags, Has(options, L"--force"));
    }
    return Pick(options);
}

}  // namespace

int Main(const Arguments &arguments) {
    if (arguments.empty()) return UsageError(kUsage, L"a command is needed");
    if (arguments[0] == L"--help" || arguments[0] == L"-h" || arguments[0] == L"help") {
        Print(kUsage);
        return 0;
    }
    auto commands = Commands();
    auto found = commands.find(arguments[0]);
    if (found == commands.end()) return UsageError(kUsage, L"unknown command " + arguments[0]);
    return RunCommand(found->first, found->second, Arguments(arguments.begin() + 1, arguments.end()));
}

}  // namespace kivocli

int wmain(int argc, wchar_t **argv) {
    KivoInitialize();
    std::vector<std::wstring> arguments(argv + 1, argv + argc);
    int status = kivocli::Main(arguments);
    KivoUninitialize();
    return status;
}
