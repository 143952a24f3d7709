# Installs the build into a fresh prefix and checks that every file lands
# where the program looks for it: the window module in lib/twinfold, the help
# files in share/twinfold, both beside bin; and where the desktop looks: the
# manual page, the menu entry, the icons, the AppStream metainfo, each
# accepted by its checker.
# cmake -DBUILD_DIR=<build> -DPREFIX=<folder> -P install_layout.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(f bin/twinfold lib/twinfold/twinfold-window.so share/twinfold/Homepage.txt
          share/twinfold/Changelog.txt share/twinfold/Command-line.txt share/twinfold/EULA.txt
          share/man/man1/twinfold.1 share/applications/com.zentorvi.Twinfold.desktop
          share/metainfo/com.zentorvi.Twinfold.metainfo.xml
          share/doc/twinfold/copyright share/doc/twinfold/examples/twinfold@.service share/doc/twinfold/examples/twinfold@.timer)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "missing after install: ${f}")
  endif()
endforeach()
foreach(n 16 22 24 32 48 64 128 256 512)
  set(icon "${PREFIX}/share/icons/hicolor/${n}x${n}/apps/twinfold.png")
  if(NOT EXISTS "${icon}")
    message(FATAL_ERROR "missing after install: the ${n} pixel icon")
  endif()
  # The PNG's own size (IHDR width and height) must be the folder's.
  file(READ "${icon}" ihdr OFFSET 16 LIMIT 8 HEX)
  string(SUBSTRING "${ihdr}" 0 8 wh)
  string(SUBSTRING "${ihdr}" 8 8 hh)
  math(EXPR w "0x${wh}")
  math(EXPR h "0x${hh}")
  if(NOT w EQUAL n OR NOT h EQUAL n)
    message(FATAL_ERROR "the ${n} pixel icon is ${w} x ${h}")
  endif()
endforeach()
# The checkers the desktop's tools use, where they are installed.
find_program(DESKTOP_VALIDATE desktop-file-validate)
if(DESKTOP_VALIDATE)
  execute_process(COMMAND "${DESKTOP_VALIDATE}" "${PREFIX}/share/applications/com.zentorvi.Twinfold.desktop"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
    message(FATAL_ERROR "desktop-file-validate: ${rc} ${out}")
  endif()
endif()
find_program(APPSTREAMCLI appstreamcli)
if(APPSTREAMCLI)
  execute_process(COMMAND "${APPSTREAMCLI}" validate --no-net "${PREFIX}/share/metainfo/com.zentorvi.Twinfold.metainfo.xml"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "appstreamcli validate: ${rc} ${out}")
  endif()
endif()
execute_process(COMMAND "${PREFIX}/bin/twinfold" --version RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "^twinfold [0-9]+\\.[0-9]+")
  message(FATAL_ERROR "the installed program's --version: exit ${rc}, output: ${out}")
endif()
execute_process(COMMAND "${PREFIX}/bin/twinfold" --help RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "task")
  message(FATAL_ERROR "the installed program's --help: exit ${rc}, output: ${out}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
