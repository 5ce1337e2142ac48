# One function per kind of deliverable, called once per build tag. The tag is
# the only thing that differs between the builds of one source; it reaches the
# code as BUILD_TAG (a bare word, stringified in the headers).

# Flags shared by every Windows binary of the project.
set(WIN_COMMON_FLAGS -Wall -Wextra -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN)
# The deliverables: C-style code, no exceptions or RTTI, the runtime linked in,
# Windows 6.0 declared as minimum in the PE headers. Each ships with a PDB
# (CodeView from clang, written by lld) and keeps clang's x64 unwind data, so
# a debugger can walk and name its frames. The build is reproducible: no
# compiler command line in the PDB, source and build paths mapped to fixed
# ones, each object named by its path relative to the folder it is compiled
# in (with an absolute compilation folder clang 19 records the object's
# absolute path), lld's time stamp and PDB GUID derived from the content.
#
# The exploit mitigations: stack cookies in every routine of ours with a local
# array, Control Flow Guard (the table of valid call targets; the one indirect
# call our code makes, in the guard, goes through the dispatch pointer; the
# mingw-w64 runtime is not compiled with it), the CET shadow-stack mark; the
# load config directory that names the cookie and the guard pointers comes
# from cmake/load_config.c (the load_config object, linked into each). The
# unit tests that compile the deliverables' sources use them too.
set(PDB_SOURCE_ROOT "C:\\printer_companions")
set(HARDENING_COMPILE_FLAGS -fstack-protector-strong -mguard=cf)
set(HARDENING_LINK_FLAGS -mguard=cf -Wl,-Xlink=-cetcompat)
set(DELIVERABLE_COMPILE_FLAGS ${WIN_COMMON_FLAGS} -Werror -Os -fno-exceptions -fno-rtti
    -ffunction-sections -fdata-sections
    -gcodeview -g -gno-codeview-command-line -fdebug-compilation-dir=.
    -ffile-prefix-map=${CMAKE_BINARY_DIR}=build -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
    ${HARDENING_COMPILE_FLAGS})
set(DELIVERABLE_LINK_FLAGS -static -static-libgcc -static-libstdc++ -Wl,--gc-sections
    -Wl,--major-os-version,6 -Wl,--minor-os-version,0
    -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,0
    -g -Wl,-Xlink=-pdbaltpath:%_PDB% "-Wl,-Xlink=-pdbsourcepath:${PDB_SOURCE_ROOT}"
    -Wl,-Xlink=-Brepro ${HARDENING_LINK_FLAGS})

# The load config directory, the stack cookie and its fail-fast, the guard
# pointers. Its one routine must not check a cookie itself.
add_library(load_config OBJECT ${PROJECT_SOURCE_DIR}/cmake/load_config.c)
target_compile_options(load_config PRIVATE ${DELIVERABLE_COMPILE_FLAGS} -fno-stack-protector)
set(HARDENING_LIBRARIES load_config)

# finish_deliverable(TAG FILE): the linked image goes to DIST_DIR without the
# DWARF that the mingw-w64 runtime's own objects bring along (lld keeps it
# even beside a PDB), with its header checksum set again, and its PDB beside
# it. The link writes the PDB into the target's build folder under a path
# relative to it, so no path of the build machine lands in the PDB.
function(finish_deliverable tag file)
    target_link_options(${tag} PRIVATE -Wl,--pdb=${tag}.pdb)
    add_custom_command(TARGET ${tag} POST_BUILD
        COMMAND ${TOOLKIT} toolkit.finish_binary
                ${CMAKE_STRIP} $<TARGET_FILE:${tag}> ${DIST_DIR}/${file}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different
                ${CMAKE_CURRENT_BINARY_DIR}/${tag}.pdb ${DIST_DIR}/${tag}.pdb
        VERBATIM)
endfunction()

# add_power_guard(TAG): TAG.exe, a GUI program from the power guard sources.
function(add_power_guard tag)
    add_executable(${tag} WIN32 ${POWER_GUARD_SOURCES} ${POWER_GUARD_RESOURCES})
    target_compile_definitions(${tag} PRIVATE BUILD_TAG=${tag})
    target_compile_options(${tag} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:${DELIVERABLE_COMPILE_FLAGS}>)
    target_compile_options(${tag} PRIVATE $<$<COMPILE_LANGUAGE:RC>:-DBUILD_TAG=${tag} -DBUILD_TAG_STR="${tag}">)
    target_link_options(${tag} PRIVATE ${DELIVERABLE_LINK_FLAGS} -mwindows)
    target_link_libraries(${tag} PRIVATE ${HARDENING_LIBRARIES} user32 gdi32 advapi32 kernel32)
    set_target_properties(${tag} PROPERTIES OUTPUT_NAME ${tag})
    finish_deliverable(${tag} ${tag}.exe)
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
    target_link_libraries(${tag} PRIVATE ${HARDENING_LIBRARIES} setupapi winspool advapi32 user32 kernel32)
    set_target_properties(${tag} PROPERTIES PREFIX "" OUTPUT_NAME ${tag})
    finish_deliverable(${tag} ${tag}.dll)
endfunction()

# add_windows_tool(NAME sources...): a console helper program (stand-ins, bench).
function(add_windows_tool name)
    add_executable(${name} ${ARGN})
    target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:${WIN_COMMON_FLAGS} -O2>)
    target_link_options(${name} PRIVATE -static -municode)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
endfunction()
