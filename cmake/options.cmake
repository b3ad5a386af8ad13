# Compile options shared by every target.
add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
add_compile_options(-Wall -Wextra -Wpedantic -Wconversion -Wshadow -Wformat=2)
if(GW_WERROR)
  add_compile_options(-Werror)
endif()

if(GW_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # The ASan runtime must come first in LD_PRELOAD when a stand-in library is preloaded.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE GW_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
else()
  set(GW_ASAN_RUNTIME "")
endif()

# Coverage instrumentation for libFuzzer in every object; only the fuzz targets link its runtime.
if(GW_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Paths of the source and build trees stay out of the objects (debug information, __FILE__), so
# that the same commit builds the same bytes from any directory. A build tree outside the
# source tree is mapped to build/; the later map wins where both match.
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
cmake_path(IS_PREFIX CMAKE_SOURCE_DIR ${CMAKE_BINARY_DIR} gw_build_inside)
if(NOT gw_build_inside)
  add_compile_options(-ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
endif()

# Options for the programs that go onto the board: no exceptions, no RTTI,
# nothing but libc needed at run time.
set(GW_PROGRAM_COMPILE_OPTIONS -fno-exceptions -fno-rtti)
if(GW_SANITIZE)
  set(GW_PROGRAM_LINK_OPTIONS "")
else()
  set(GW_PROGRAM_LINK_OPTIONS -static-libstdc++ -static-libgcc -Wl,--as-needed)
  # Hardened as Debian hardens its own programs with hardening=+all, with the flags written out
  # here: the dpkg-buildflags of Debian 12 gives _FORTIFY_SOURCE=2 and no stack-clash
  # protection, and the set must not change with the machine that builds it. Fortification
  # needs the optimiser, so a Debug build goes without it. Sanitizer builds (not for a machine)
  # go without all of it: ASan replaces the checked calls with its own.
  # -Wformat is in -Wformat=2 above; naming it again here would lower the level.
  list(APPEND GW_PROGRAM_COMPILE_OPTIONS
       -fPIE -fstack-protector-strong -fstack-clash-protection -Werror=format-security
       $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=3>)
  list(APPEND GW_PROGRAM_LINK_OPTIONS -pie -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)
endif()

# gw_library(name sources...): pure logic of a program, linked into the program and its tests.
function(gw_library name)
  add_library(${name} STATIC ${ARGN})
  target_compile_options(${name} PRIVATE ${GW_PROGRAM_COMPILE_OPTIONS})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
endfunction()

# gw_program(name sources... [LIBS libs...]): a production program, installed.
function(gw_program name)
  cmake_parse_arguments(P "" "" "LIBS" ${ARGN})
  add_executable(${name} ${P_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE ${GW_PROGRAM_COMPILE_OPTIONS})
  target_link_options(${name} PRIVATE ${GW_PROGRAM_LINK_OPTIONS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${P_LIBS})
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Installed stripped; its debug information goes to the dbgsym component
  # (cmake/install_program.cmake).
  foreach(part tools dbgsym)
    install(CODE "set(GW_PART ${part})
                  set(GW_FILE \"$<TARGET_FILE:${name}>\")
                  set(GW_NAME ${name})
                  set(GW_BINDIR ${CMAKE_INSTALL_BINDIR})
                  set(GW_STRIP \"${CMAKE_STRIP}\")
                  set(GW_OBJCOPY \"${CMAKE_OBJCOPY}\")
                  set(GW_READELF \"${CMAKE_READELF}\")
                  set(GW_WORK \"${CMAKE_BINARY_DIR}/debug\")
                  include(\"${CMAKE_SOURCE_DIR}/cmake/install_program.cmake\")"
            COMPONENT ${part})
  endforeach()
  set_property(GLOBAL APPEND PROPERTY GW_PROGRAMS ${name})
endfunction()

# gw_tool(name sources...): a stand-in or helper that runs on the development machine.
function(gw_tool name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${GW_BOARDSIM_OUTPUT_DIR})
endfunction()
