# Installs the library's component into a scratch prefix, then builds and
# runs a client that finds it with find_package, checks the pkg-config
# file, and builds the example EXAMPLE with it as its page says and runs it
# against two encoder-sim (SIMULATOR). Run with -DBUILD_DIR=...
# -DSOURCE_DIR=... -DWORK_DIR=... -DEXAMPLE=... -DSIMULATOR=... and
# -DCLIENT_FLAGS=... (compiler flags the client needs, e.g. sanitizers).
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE result
    OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGV} failed (${result}):\n${output}")
  endif()
  set(run_output "${output}" PARENT_SCOPE)
endfunction()

# The components of the packages libquillon1, libquillon-dev and quillon.
foreach(component runtime development tools)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --component ${component}
      --prefix ${prefix})
endforeach()
if(EXISTS ${prefix}/bin/quillon-smoke)
  message(FATAL_ERROR "a test program is installed: bin/quillon-smoke")
endif()
# A command in the shared bin folder carries its package's name, so that it
# claims no generic one.
file(GLOB commands RELATIVE ${prefix}/bin ${prefix}/bin/*)
foreach(command IN LISTS commands)
  if(NOT command MATCHES "^quillon(-|$)")
    message(FATAL_ERROR "bin/${command}: not named after its package")
  endif()
endforeach()
foreach(file bin/quillon bin/quillon-encoder-sim include/quillon.h lib/libquillon.so
        lib/libquillon.so.1 lib/pkgconfig/quillon.pc
        lib/cmake/Quillon/QuillonConfig.cmake
        lib/cmake/Quillon/QuillonConfigVersion.cmake
        lib/cmake/Quillon/QuillonTargets.cmake share/man/man1/quillon.1.gz
        share/man/man1/quillon-encoder-sim.1.gz share/man/man3/quillon.3.gz
        share/bash-completion/completions/quillon
        share/doc/libquillon1/copyright)
  if(NOT EXISTS ${prefix}/${file})
    # Debian puts libraries under lib/<multiarch>; accept that too.
    file(GLOB found ${prefix}/lib/*/${file})
    string(REPLACE "lib/" "" rest ${file})
    file(GLOB found ${prefix}/lib/*/${rest})
    if(NOT found)
      message(FATAL_ERROR "not installed: ${file}")
    endif()
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/installed_client -B ${WORK_DIR}/client
    -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_C_FLAGS=${CLIENT_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${CLIENT_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/client)
run(${WORK_DIR}/client/installed_client)

file(GLOB_RECURSE pc_files ${prefix}/*/quillon.pc)
get_filename_component(pc_dir "${pc_files}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(pkg-config --cflags-only-I quillon)
string(REGEX REPLACE "^-I([^ \n]*).*" "\\1" include_dir "${run_output}")
if(NOT EXISTS ${include_dir}/quillon.h)
  message(FATAL_ERROR "pkg-config include path ${run_output}: no quillon.h")
endif()
run(pkg-config --libs quillon)
string(REGEX REPLACE "^-L([^ \n]*).*" "\\1" lib_dir "${run_output}")
if(NOT EXISTS ${lib_dir}/libquillon.so OR NOT run_output MATCHES "-lquillon")
  message(FATAL_ERROR "pkg-config libraries ${run_output}: no libquillon.so")
endif()
run(sh -c "cc ${CLIENT_FLAGS} ${EXAMPLE} \$(pkg-config --cflags --libs quillon) -o ${WORK_DIR}/two_encoders")
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${lib_dir}
    ${SOURCE_DIR}/run_example.sh ${WORK_DIR}/two_encoders ${SIMULATOR})
file(REMOVE_RECURSE ${WORK_DIR})
