# The Windows DLLs: QuelmarAlg.dll and QuelmarAlgWol.dll, the names hosts
# load, each with its import library (QuelmarAlg.lib, QuelmarAlgWol.lib) and,
# from MinGW-w64, its .def file, from which Visual C++'s `lib /def:` makes its
# own. Each DLL is self-contained: it imports system DLLs only (KERNEL32 and
# the C runtime), so a host needs nothing but the one file.
include(GNUInstallDirs)

# With GCC's win32 thread model nothing in a DLL needs a static TLS
# directory, and dllmain.cpp keeps the one MinGW's DLL startup would bring
# out (so that DisableThreadLibraryCalls takes effect). A posix thread model
# links winpthread, whose thread clean-up is a TLS callback: the directory
# stays, and the thread notifications with it.
set(QUELMARALG_DLL_WITHOUT_TLS OFF)
if(MINGW AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -v ERROR_VARIABLE compiler_says OUTPUT_QUIET)
  string(REGEX MATCH "Thread model: ([A-Za-z0-9]+)" thread_model "${compiler_says}")
  if(CMAKE_MATCH_1 STREQUAL "win32")
    set(QUELMARALG_DLL_WITHOUT_TLS ON)
  else()
    message(STATUS "QuelmarAlg DLLs: ${thread_model}: the DLLs keep a TLS directory "
                   "(the win32 thread model avoids it)")
  endif()
endif()

function(quelmar_windows_dll library)
  set_target_properties(${library} PROPERTIES PREFIX "" IMPORT_PREFIX "")
  target_sources(${library} PRIVATE ${PROJECT_SOURCE_DIR}/src/boundary/dllmain.cpp)
  if(MINGW)
    # GCC's runtime (libgcc, libstdc++ and, with a posix thread model,
    # winpthread) linked in, on the DLL alone: the test programs keep the
    # shared runtime, without which the allocation-failure test's
    # --wrap=malloc would also catch the runtime's own operator new and
    # recurse. No symbol of those archives is exported: only the library's
    # own header's names are.
    set_target_properties(${library} PROPERTIES IMPORT_SUFFIX ".lib")
    # No link time in the PE header: the same sources give the same DLL.
    target_link_options(${library} PRIVATE -static -Wl,--exclude-libs,ALL -Wl,--no-insert-timestamp
                        -Wl,--output-def,${CMAKE_BINARY_DIR}/${library}.def)
    if(QUELMARALG_DLL_WITHOUT_TLS)
      target_compile_definitions(${library} PRIVATE QUELMARALG_DLL_WITHOUT_TLS)
    endif()
    install(FILES ${CMAKE_BINARY_DIR}/${library}.def DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library)
  endif()
endfunction()
