/* The library's version: the one place it is written. The version resource,
 * the build and the package read it from here. */
#define KIVO_VERSION_MAJOR 1
#define KIVO_VERSION_MINOR 0
#define KIVO_VERSION_PATCH 0
#define KIVO_VERSION_BUILD 2
#define KIVO_VERSION_TEXT "1.0.0.2"
