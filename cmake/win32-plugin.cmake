# Windows-only parts of the plug-in library: load and unload, component registration with the
# type library resource, and the test program that runs the library under Wine.
enable_language(RC)

set(VASKEL_MODULE_DIR ${CMAKE_SOURCE_DIR}/platform/win32/module)
set(VASKEL_TYPELIB_DIR ${CMAKE_BINARY_DIR}/typelib)
set(VASKEL_TYPELIB ${VASKEL_TYPELIB_DIR}/vaskel.tlb)

find_program(VASKEL_WIDL NAMES i686-w64-mingw32-widl widl REQUIRED)
add_custom_command(
  OUTPUT ${VASKEL_TYPELIB}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VASKEL_TYPELIB_DIR}
  COMMAND ${VASKEL_WIDL} --win32 -t -o ${VASKEL_TYPELIB} ${VASKEL_MODULE_DIR}/vaskel.idl
  DEPENDS ${VASKEL_MODULE_DIR}/vaskel.idl
  COMMENT "Type library vaskel.tlb"
  VERBATIM)

# Socket start-up and registration, shared by the library and the Wine test program.
add_library(vaskel_win32_module STATIC ${VASKEL_MODULE_DIR}/registration.cpp
                                       ${VASKEL_MODULE_DIR}/socket_startup.cpp)
target_include_directories(vaskel_win32_module PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(vaskel_win32_module PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(vaskel_win32_module PUBLIC oleaut32 ole32 ws2_32 user32)

set_source_files_properties(${VASKEL_MODULE_DIR}/vaskel_typelib.rc PROPERTIES
  OBJECT_DEPENDS ${VASKEL_TYPELIB} INCLUDE_DIRECTORIES ${VASKEL_TYPELIB_DIR})
set_source_files_properties(${VASKEL_MODULE_DIR}/dll_main.cpp PROPERTIES
  COMPILE_DEFINITIONS "WIN32_LEAN_AND_MEAN;NOMINMAX")
# File and product version, product name and description, from the project's version.
configure_file(${VASKEL_MODULE_DIR}/vaskel_version.rc.in ${CMAKE_BINARY_DIR}/vaskel_version.rc
               @ONLY)
target_sources(vaskel PRIVATE ${VASKEL_MODULE_DIR}/dll_main.cpp
                              ${VASKEL_MODULE_DIR}/vaskel_typelib.rc
                              ${CMAKE_BINARY_DIR}/vaskel_version.rc)
target_link_libraries(vaskel PRIVATE vaskel_win32_module)

add_subdirectory(${CMAKE_SOURCE_DIR}/tests/wine ${CMAKE_BINARY_DIR}/tests/wine)
