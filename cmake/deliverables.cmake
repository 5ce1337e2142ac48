# One function per kind of deliverable, called once per build tag. The tag is
# the only thing that differs between the builds of one source; it reaches the
# code as BUILD_TAG (a bare word, stringified in the headers).

# Flags shared by every Windows binary of the project.
set(WIN_COMMON_FLAGS -Wall -Wextra -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN)
# The deliverables: C-style code, no exceptions or RTTI, the runtime linked in,
# Windows 6.0 declared as minimum in the PE headers, symbols stripped.
set(DELIVERABLE_COMPILE_FLAGS ${WIN_COMMON_FLAGS} -Werror -Os -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections)
set(DELIVERABLE_LINK_FLAGS -static -static-libgcc -static-libstdc++ -s -Wl,--gc-sections
    -Wl,--major-os-version,6 -Wl,--minor-os-version,0
    -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,0)

# add_power_guard(TAG): TAG.exe, a GUI program from the power guard sources.
function(add_power_guard tag)
    add_executable(${tag} WIN32 ${POWER_GUARD_SOURCES} ${POWER_GUARD_RESOURCES})
    target_compile_definitions(${tag} PRIVATE BUILD_TAG=${tag})
    target_compile_options(${tag} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:${DELIVERABLE_COMPILE_FLAGS}>)
    target_compile_options(${tag} PRIVATE $<$<COMPILE_LANGUAGE:RC>:-DBUILD_TAG=${tag} -DBUILD_TAG_STR="${tag}">)
    target_link_options(${tag} PRIVATE ${DELIVERABLE_LINK_FLAGS} -mwindows)
    target_link_libraries(${tag} PRIVATE user32 gdi32 advapi32 kernel32)
    set_target_properties(${tag} PROPERTIES OUTPUT_NAME ${tag} RUNTIME_OUTPUT_DIRECTORY ${DIST_DIR})
    add_dependencies(deliverables ${tag})
endfunction()

# add_coinstaller(TAG): TAG.dll exporting CoInstallerE under the name TAG.dll.
function(add_coinstaller tag)
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${tag}.def)
    configure_file(${COINSTALLER_DEF_TEMPLATE} ${def} @ONLY)
    add_library(${tag} SHARED ${COINSTALLER_SOURCES} ${COINSTALLER_RESOURCES} ${def})
    target_compile_definitions(${tag} PRIVATE BUILD_TAG=${tag})
    target_compile_options(${tag} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:${DELIVERABLE_COMPILE_FLAGS}>)
    target_compile_options(${tag} PRIVATE $<$<COMPILE_LANGUAGE:RC>:-DBUILD_TAG=${tag} -DBUILD_TAG_STR="${tag}">)
    target_link_options(${tag} PRIVATE ${DELIVERABLE_LINK_FLAGS})
    target_link_libraries(${tag} PRIVATE setupapi winspool advapi32 user32 kernel32)
    set_target_properties(${tag} PROPERTIES PREFIX "" OUTPUT_NAME ${tag}
        RUNTIME_OUTPUT_DIRECTORY ${DIST_DIR} LIBRARY_OUTPUT_DIRECTORY ${DIST_DIR})
    add_dependencies(deliverables ${tag})
endfunction()

# add_windows_tool(NAME sources...): a console helper program (stand-ins, bench).
function(add_windows_tool name)
    add_executable(${name} ${ARGN})
    target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:${WIN_COMMON_FLAGS} -O2>)
    target_link_options(${name} PRIVATE -static -municode)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
endfunction()
