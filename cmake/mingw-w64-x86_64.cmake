# Cross-compiling for 64-bit Windows with clang and lld on the mingw-w64
# headers and runtime. clang gives every function with a frame its x64 unwind
# data and writes CodeView, so lld can ship a PDB beside each binary. The
# posix-thread libstdc++ is used throughout because GoogleTest needs
# std::mutex; the deliverables use no threads and link the runtime
# statically, so they import system DLLs only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The LLVM folder and the GCC runtime's, decided by toolchain.sh for the
# build, build.sh and the release alike.
function(toolchain_query what var)
    execute_process(COMMAND bash ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/toolchain.sh ${what}
                    OUTPUT_VARIABLE answer ERROR_VARIABLE error RESULT_VARIABLE failed
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(failed)
        message(FATAL_ERROR "cmake/toolchain.sh ${what}: ${error}")
    endif()
    set(${var} ${answer} PARENT_SCOPE)
endfunction()
toolchain_query(llvm-dir LLVM_BIN)
toolchain_query(gcc-lib MINGW_GCC_LIB)
set(MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER   ${LLVM_BIN}/clang)
set(CMAKE_CXX_COMPILER ${LLVM_BIN}/clang++)
set(CMAKE_C_COMPILER_TARGET   ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)
set(CMAKE_STRIP        ${LLVM_BIN}/llvm-strip)

# clang finds the mingw-w64 headers and import libraries by itself; libgcc,
# libstdc++ and its headers come from the posix-thread GCC runtime.
set(libstdcxx ${MINGW_GCC_LIB}/include/c++)
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${libstdcxx} -isystem ${libstdcxx}/${MINGW_TRIPLE} -isystem ${libstdcxx}/backward")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-fuse-ld=lld -L${MINGW_GCC_LIB}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${MINGW_GCC_LIB}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${MINGW_GCC_LIB}")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
