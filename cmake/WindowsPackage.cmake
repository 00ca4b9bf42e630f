# SPDX-License-Identifier: MIT
# The Windows package: a ZIP with camera-probe.exe, the licence and a short
# README, made by CPack (make package-windows).

if(MINGW)
  # libstdc++, libgcc and winpthread linked in: the program then needs no DLL
  # but libusb0.dll and Windows' own.
  target_link_options(camera-probe PRIVATE -static)
endif()

# Text files with CR LF line ends, as Windows editors expect.
configure_file(packaging/windows/README-windows.txt
  ${CMAKE_CURRENT_BINARY_DIR}/README-windows.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(LICENSE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README-windows.txt
              ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
        DESTINATION .)

# CPack in a scope and configuration file of its own
# (CPackConfig-windows.cmake), apart from any other package of the project.
function(camera_probe_windows_package)
  set(CPACK_PACKAGE_NAME camera-probe)
  set(CPACK_PACKAGE_VENDOR "camera-probe developers")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_OUTPUT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackConfig-windows.cmake)
  set(CPACK_SOURCE_OUTPUT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackSourceConfig-windows.cmake)
  include(CPack)
endfunction()
camera_probe_windows_package()
