# Run with cmake -P; see CMakeLists.txt for the variables it is given. The
# configuration is named so that a multi-configuration generator works too.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(status ${status} PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
endfunction()

function(must_succeed what)
  run(${ARGV})
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(source ${SCRATCH_DIR}/source)
set(build ${SCRATCH_DIR}/build)
file(REMOVE_RECURSE ${SCRATCH_DIR})
file(COPY ${PROJECT_DIR}/ DESTINATION ${source})

must_succeed(configure ${CMAKE_COMMAND} -S ${source} -B ${build} -G ${GENERATOR}
  -D CMAKE_MAKE_PROGRAM=${MAKE_PROGRAM} -D CMAKE_CXX_COMPILER=${CXX_COMPILER}
  -D ADD_TEST_MODULE=${ADD_TEST_MODULE})
must_succeed(build ${CMAKE_COMMAND} --build ${build} --config Release)
must_succeed("ctest before the edit" ${CMAKE_CTEST_COMMAND} --test-dir ${build} -C Release)
if(NOT out MATCHES "100% tests passed, 0 tests failed out of 2")
  message(FATAL_ERROR "the table's two rows did not both run and pass:\n${out}")
endif()

file(APPEND ${source}/cases.txt "fails\tfail\n")
must_succeed("build after the edit" ${CMAKE_COMMAND} --build ${build} --config Release)
run(ctest ${CMAKE_CTEST_COMMAND} --test-dir ${build} -C Release)
if(status EQUAL 0 OR NOT out MATCHES "1 tests failed out of 3" OR NOT out MATCHES "fails")
  message(FATAL_ERROR "the row added to the table did not run, or passed:\n${out}")
endif()
file(REMOVE_RECURSE ${SCRATCH_DIR})
