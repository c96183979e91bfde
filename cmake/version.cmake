# One version number: the project's. The header below carries it to the
# resource script, the application manifest, the user agent and the
# launcher's release number. The release number is the third component: it
# counts launcher releases and only ever grows (1.0.5 is release 5, the next
# one 1.0.6 or 1.1.6, never 1.1.0).
set(VELMORA_VERSION_HEADER ${CMAKE_BINARY_DIR}/generated/velmora_version.h)
file(WRITE ${VELMORA_VERSION_HEADER}.tmp
"// Generated from the project version in CMakeLists.txt; do not edit.
#pragma once
#define VELMORA_VERSION_MAJOR ${PROJECT_VERSION_MAJOR}
#define VELMORA_VERSION_MINOR ${PROJECT_VERSION_MINOR}
#define VELMORA_VERSION_PATCH ${PROJECT_VERSION_PATCH}
#define VELMORA_VERSION_TEXT \"${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}\"
#define VELMORA_VERSION_WTEXT L\"${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}\"
#define VELMORA_VERSION_TEXT4 \"${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0\"
#define VELMORA_LAUNCHER_RELEASE ${PROJECT_VERSION_PATCH}
")
configure_file(${VELMORA_VERSION_HEADER}.tmp ${VELMORA_VERSION_HEADER} COPYONLY)
set(VELMORA_VERSION_TEXT4 ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
