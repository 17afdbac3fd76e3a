# cmake -DBUILD_DIR=<build tree> -DPREFIX=<empty folder> -P check_install.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc})")
endif()

foreach(f bin/switcher-console bin/switcher-sim
          share/applications/switcher-console.desktop
          share/icons/hicolor/scalable/apps/switcher-console.svg
          share/man/man1/switcher-console.1 share/man/man1/switcher-sim.1
          bin/switcher-bridge share/man/man1/switcher-bridge.1 lib/systemd/system/switcher-bridge.service
          lib/systemd/system/switcher-bridge@.service lib/systemd/system/switcher-bridge.target
          lib/switcher-bridge/prepare-instance share/switcher-bridge/Switcher.ini)
  if(NOT EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

file(READ ${PREFIX}/share/applications/switcher-console.desktop desktop)
foreach(line "Exec=switcher-console" "Icon=switcher-console" "Categories=AudioVideo;")
  string(FIND "${desktop}" "${line}" at)
  if(at LESS 0)
    message(FATAL_ERROR "desktop entry lacks ${line}")
  endif()
endforeach()

# What the package declares beyond the libraries that dpkg-shlibdeps finds.
file(READ ${BUILD_DIR}/CPackConfig.cmake cpack)
foreach(dep qt6-qpa-plugins fonts-wqy-microhei)
  string(FIND "${cpack}" "${dep}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the package does not depend on ${dep}")
  endif()
endforeach()
string(FIND "${cpack}" "set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS \"ON\")" at)
if(at LESS 0)
  message(FATAL_ERROR "the package does not compute its library dependencies")
endif()
message(STATUS "install layout and package dependencies: ok")
