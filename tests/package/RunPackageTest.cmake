# Installs the built library into a staging prefix, then configures, builds and runs an
# outside project that finds it with find_package(davro), and builds and runs the same
# program once more with the flags that pkg-config reads from the installed davro.pc.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/staging)

function(run)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGV}")
    endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${CONFIG})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=${CONFIG})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
if(EXISTS ${WORK_DIR}/build/ported)
    run(${WORK_DIR}/build/ported)
endif()

find_program(PKG_CONFIG NAMES pkg-config pkgconf)
if(PKG_CONFIG AND CXX_COMPILER)
    file(GLOB_RECURSE pc_files ${prefix}/davro.pc)
    list(GET pc_files 0 pc_file)
    get_filename_component(pc_dir ${pc_file} DIRECTORY)
    set(ENV{PKG_CONFIG_PATH} ${pc_dir})
    execute_process(COMMAND ${PKG_CONFIG} --cflags --libs davro
        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "pkg-config does not find davro in ${pc_dir}")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    string(REGEX MATCH "-L[^ ;]+" libdir_flag "${flags}")
    string(SUBSTRING "${libdir_flag}" 2 -1 libdir)
    run(${CXX_COMPILER} -std=c++17 ${SOURCE_DIR}/consumer.cpp ${flags} -Wl,-rpath,${libdir}
        -o ${WORK_DIR}/consumer-pkg-config)
    run(${WORK_DIR}/consumer-pkg-config)
endif()
