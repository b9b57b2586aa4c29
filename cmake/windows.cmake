# The Windows program: window subsystem, manifest embedded, C++ runtime
# linked in so that the .exe runs on a bare Windows.
enable_language(RC)

add_library(sarnelux_win32 STATIC
  src/platform/win32/win32_console.cpp
  src/platform/win32/win32_files.cpp
  src/platform/win32/win32_listing.cpp
  src/platform/win32/win32_paths.cpp
  src/platform/win32/win32_state_trust.cpp
)
# advapi32: the owners and access lists of the state folder and records.
target_link_libraries(sarnelux_win32 PUBLIC sarnelux_core advapi32)

# The project's version reaches the file's properties through this resource.
configure_file(src/run/version.rc.in ${PROJECT_BINARY_DIR}/version.rc @ONLY)
add_executable(sarnelux WIN32 src/run/main_win32.cpp src/run/sarnelux.rc
  ${PROJECT_BINARY_DIR}/version.rc)
target_link_libraries(sarnelux PRIVATE sarnelux_win32)
# No link time in the header: the same sources give the same .exe.
target_link_options(sarnelux PRIVATE -static -static-libgcc -static-libstdc++
  -Wl,--no-insert-timestamp $<$<CONFIG:Release>:-s>)

# The Wine suite's driver, a console program; it shares the tool's manifest
# so that it sees names as the tool does.
if(SARNELUX_TESTS)
  add_executable(wine_helper tests/wine/wine_helper.cpp src/run/sarnelux.rc)
  target_link_options(wine_helper PRIVATE -static -static-libgcc -static-libstdc++)
  target_link_libraries(wine_helper PRIVATE advapi32)
  find_program(PYTHON3 python3 REQUIRED)
  enable_testing()
  add_test(NAME wine_end_to_end
    COMMAND ${PYTHON3} ${PROJECT_SOURCE_DIR}/tests/wine/wine_suite.py
            $<TARGET_FILE:sarnelux> $<TARGET_FILE:wine_helper>)
  # 77: the kernel cannot run 32-bit programs, so Wine cannot run this one.
  set_tests_properties(wine_end_to_end PROPERTIES TIMEOUT 900
                       SKIP_RETURN_CODE 77)
endif()
