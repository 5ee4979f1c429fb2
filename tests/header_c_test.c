/* The public header compiles as C99 and links against kivo.dll. */
#include "kivo.h"

#include <stdio.h>

int main(void) {
    DWORD version = KivoGetVersion();
    unsigned flags = KIVO_COPY_FAIL_IF_EXISTS | KIVO_COPY_NEWER_ONLY | KIVO_COPY_SUBFOLDERS | KIVO_COPY_AT_FIRST |
                     KIVO_COPY_NO_LIST | KIVO_PATH_BELOW_COMPUTER;
    printf("version %lu flags 0x%x\n", (unsigned long)version, flags);
    /* A handle that names no job: Count 0, Next FALSE, Close 0. */
    SIZE_T count = KivoCopyFolderCount((HANDLE)(ULONG_PTR)4242);
    BOOL next = KivoCopyFolderNext((HANDLE)(ULONG_PTR)4242, NULL, 0, NULL, 0, NULL, NULL);
    int closed = KivoCopyFolderClose((HANDLE)(ULONG_PTR)4242);
    if (version != 1002 || flags != 0x3111u || count != 0 || next || closed != 0) {
        printf("0 passed, 1 failed\n");
        return 1;
    }
    printf("1 passed, 0 failed\n");
    return 0;
}
