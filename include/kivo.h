/* kivo: files and folders on portable media devices, through a Win32-style
 * flat API. Wide-character strings throughout; each call reports failure the
 * Win32 way, through its result and the thread's last-error code. */
#ifndef KIVO_H
#define KIVO_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Copy flags (KivoCopyFile, KivoCopyFolderFirst). */
#define KIVO_COPY_FAIL_IF_EXISTS 0x1u /* an existing target makes the copy fail with ERROR_FILE_EXISTS */
#define KIVO_COPY_NEWER_ONLY 0x10u    /* replace an existing target only when the source is newer */
#define KIVO_COPY_SUBFOLDERS 0x100u   /* a folder copy takes the whole subtree */
#define KIVO_COPY_AT_FIRST 0x1000u    /* a folder copy copies every file in its first call */
#define KIVO_COPY_NO_LIST 0x2000u     /* a folder copy keeps no list of the files it copied */

/* Dialog option of the library's own; it never reaches the shell dialog. */
#define KIVO_PATH_BELOW_COMPUTER 0x1u /* device paths start below the computer folder's name */

/* Initialises COM on the calling thread and prepares the library; 1 when every piece was prepared. */
int KivoInitialize(void);
/* Releases the library's global state, then uninitialises COM on the calling thread. */
void KivoUninitialize(void);
/* Releases the library's global state and closes every handle; COM stays initialised. */
void KivoCleanUp(void);
/* The library's product version as a decimal number (1002 for 1.0.0.2); 0 on failure. */
DWORD KivoGetVersion(void);

/* 1 when the path is a device path candidate, 0 for a local path (leading backslash or dot, or drive letter) or null. */
int KivoCheckDevicePathName(const wchar_t *path);

/* Lists a folder (device or disk) like FindFirstFileW; the first entry goes to findData. INVALID_HANDLE_VALUE with last error 0 when nothing matches. */
HANDLE KivoFindFirstFile(const wchar_t *path, WIN32_FIND_DATAW *findData);
/* The next entry of a listing; 0 with ERROR_NO_MORE_FILES after the last. */
BOOL KivoFindNextFile(HANDLE handle, WIN32_FIND_DATAW *findData);
/* Ends a listing; 0 (last error 0) for a device listing, FindClose's result for a file-system one. */
BOOL KivoFindClose(HANDLE handle);
/* Takes the list of connected devices; every name, the first included, comes from KivoFindDeviceNext. */
HANDLE KivoFindDeviceFirst(void);
/* Copies the next device name into buffer (size in wide characters, terminator included); 1 on success. */
int KivoFindDeviceNext(HANDLE handle, wchar_t *buffer, DWORD size);
/* Ends a device listing; returns 0, last error 0 or ERROR_INVALID_HANDLE. */
int KivoFindDeviceClose(HANDLE handle);
/* Fills record for the object a device or disk path names; 1 when it exists. */
BOOL KivoGetStatus(const wchar_t *path, WIN32_FIND_DATAW *record);

/* Copies one file: disk or device to disk or device. flags: KIVO_COPY_FAIL_IF_EXISTS, KIVO_COPY_NEWER_ONLY; an
 * existing target is otherwise replaced. TRUE with last error 0 on success. */
BOOL KivoCopyFile(const wchar_t *source, const wchar_t *destination, DWORD flags);
/* KivoCopyFile with CopyFileExW's progress and cancel. progress (may be null) is called with data: once with
 * CALLBACK_STREAM_SWITCH at the start of each stream, then with CALLBACK_CHUNK_FINISHED after each chunk (at most
 * 1 MiB apart, and about every 250 ms of a slow transfer); the file handles it is given are null. Its answer is
 * obeyed: PROGRESS_CANCEL and PROGRESS_STOP stop the copy, PROGRESS_QUIET ends the calls. *cancel (may be null)
 * turning nonzero stops the copy between chunks. A stopped copy fails with ERROR_REQUEST_ABORTED and leaves no
 * partial file or object; a target it was to replace stays as it was. A device-to-device copy is two streams of
 * the file's size (read, then write), so the total is twice the file's size; a disk-to-disk copy is CopyFileExW's
 * own. flags: those of KivoCopyFile. */
BOOL KivoCopyFileEx(const wchar_t *source, const wchar_t *destination, LPPROGRESS_ROUTINE progress, void *data,
                    BOOL *cancel, DWORD flags);
/* Moves or renames one file; a device object that stays in its folder is renamed in place. */
BOOL KivoMoveFile(const wchar_t *source, const wchar_t *destination);
/* Creates a folder and every missing folder above it; an existing folder is no error. */
BOOL KivoCreateFolder(const wchar_t *path);
/* Deletes one file (not a folder). */
BOOL KivoDeleteFile(const wchar_t *path);
/* Deletes one empty folder. */
BOOL KivoRemoveFolder(const wchar_t *path);
/* Deletes a folder with everything in it. */
BOOL KivoDeleteFolder(const wchar_t *path);
/* GetDiskFreeSpaceExW for a device or disk path; each out-parameter may be null. For a device path, the figures of
 * the storage its first component below the device names (WPD_STORAGE_FREE_SPACE_IN_BYTES for both free figures,
 * WPD_STORAGE_CAPACITY for the total); ERROR_NOT_SUPPORTED when the storage does not report one asked for. */
BOOL KivoGetDiskFreeSpaceEx(const wchar_t *path, ULARGE_INTEGER *freeToCaller, ULARGE_INTEGER *total,
                            ULARGE_INTEGER *totalFree);

/* Starts a folder copy job: every file of source (a folder, or a folder, "\" and a mask with * or ?) into the
 * destination folder, which is created when missing. flags: the copy flags above. INVALID_HANDLE_VALUE on failure. */
HANDLE KivoCopyFolderFirst(const wchar_t *source, const wchar_t *destination, DWORD flags);
/* The number of files the job holds, handed out or not; 0 for a handle that names no job. */
SIZE_T KivoCopyFolderCount(HANDLE handle);
/* Copies (or, after KIVO_COPY_AT_FIRST, reports) the job's next file: both paths into the buffers (sizes in wide
 * characters; a path too long for its buffer is cut), the copy's result and last-error code through result and
 * error, each of which may be null. TRUE whether the copy succeeded or not; FALSE once every file was handed out,
 * or for a handle that names no job. */
BOOL KivoCopyFolderNext(HANDLE handle, wchar_t *source, DWORD sourceSize, wchar_t *destination, DWORD destinationSize,
                        INT32 *result, UINT32 *error);
/* KivoCopyFolderNext with KivoCopyFileEx's progress routine, data and cancel flag for the file it copies. */
BOOL KivoCopyFolderNextEx(HANDLE handle, wchar_t *source, DWORD sourceSize, wchar_t *destination,
                          DWORD destinationSize, INT32 *result, UINT32 *error, LPPROGRESS_ROUTINE progress, void *data,
                          BOOL *cancel);
/* Discards the job; returns 0. */
int KivoCopyFolderClose(HANDLE handle);

/* The shell's open dialog. filter: "name|patterns|name|patterns" ("Pictures|*.jpg;*.png"), filterIndex from 1;
 * options: the FOS_ flags of IFileDialog::SetOptions, taken whole, plus KIVO_PATH_BELOW_COMPUTER. The (first) chosen path goes to result
 * (resultSize in wide characters, terminator included; a path that does not fit fails the call). Returns 0 when
 * nothing was chosen or anything failed, 1 for one path, and with FOS_ALLOWMULTISELECT the handle (2 or more) of
 * the other chosen paths, to be read with KivoOpenDialogNext and closed with KivoOpenDialogClose. */
INT32 KivoOpenDialog(HWND owner, const wchar_t *title, const wchar_t *initialFolder, const wchar_t *fileName,
                     const wchar_t *filter, UINT32 filterIndex, const wchar_t *defaultExtension, wchar_t *result,
                     INT32 resultSize, UINT32 options);
/* The shell's save dialog, with KivoOpenDialog's arguments; 1 when a path was chosen, else 0. */
INT32 KivoSaveDialog(HWND owner, const wchar_t *title, const wchar_t *initialFolder, const wchar_t *fileName,
                     const wchar_t *filter, UINT32 filterIndex, const wchar_t *defaultExtension, wchar_t *result,
                     INT32 resultSize, UINT32 options);
/* The shell's folder dialog (FOS_PICKFOLDERS is always added); 1 when a folder was chosen, else 0. */
INT32 KivoOpenFolderDialog(HWND owner, const wchar_t *title, const wchar_t *initialFolder, wchar_t *result,
                           INT32 resultSize, UINT32 options);
/* The next path of a multiple selection: TRUE with last error 0; FALSE with ERROR_NO_MORE_FILES after the last,
 * ERROR_INSUFFICIENT_BUFFER (nothing handed out) when it does not fit size, ERROR_INVALID_HANDLE for a handle that
 * names no selection. */
BOOL KivoOpenDialogNext(INT32 handle, wchar_t *buffer, UINT32 size);
/* Discards a multiple selection; returns 0, last error 0 or ERROR_INVALID_HANDLE. */
INT32 KivoOpenDialogClose(INT32 handle);

/* 1 when name matches the wildcard pattern ('*', '?', a-z without regard to case); 0 otherwise or for a null argument. */
int KivoWildcardMatch(const wchar_t *pattern, const wchar_t *name);

#ifdef __cplusplus
}
#endif

#endif /* KIVO_H */
