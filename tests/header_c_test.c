/* The public header compiles as C99 and links against kivo.dll. */
#include "kivo.h"

#include <stdio.h>

int main(void) {
    DWORD version = KivoGetVersion();
    unsigned flags = KIVO_COPY_FAIL_IF_EXISTS | KIVO_COPY_NEWER_ONLY | KIVO_COPY_SUBFOLDERS | KIVO_COPY_AT_FIRST |
                     KIVO_COPY_NO_LIST | KIVO_PATH_BELOW_COMPUTER;
    printf("version %lu flags 0x%x\n", (unsigned long)version, flags);
    if (version != 1002 || flags != 0x3111u) {
        printf("0 passed, 1 failed\n");
        return 1;
    }
    printf("1 passed, 0 failed\n");
    return 0;
}
