# Installs the build into a fresh prefix and checks that every file lands
# where the program looks for it: the window module in lib/twinfold, the help
# files in share/twinfold, both beside bin.
# cmake -DBUILD_DIR=<build> -DPREFIX=<folder> -P install_layout.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(f bin/twinfold lib/twinfold/twinfold-window.so share/twinfold/Homepage.txt
          share/twinfold/Changelog.txt share/twinfold/Command-line.txt share/twinfold/EULA.txt)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "missing after install: ${f}")
  endif()
endforeach()
execute_process(COMMAND "${PREFIX}/bin/twinfold" --help RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "task")
  message(FATAL_ERROR "the installed program's --help: exit ${rc}, output: ${out}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
